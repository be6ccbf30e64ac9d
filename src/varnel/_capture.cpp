// varnel._capture: the streams behind the package's top-level functions — packet dictionaries or
// feature rows from one or several capture files, standard input, an open file or a live device,
// with a filter, live options and statistics. The argument checks live in varnel/__init__.py.
#include "boundary.hpp"
#include "feature_row.hpp"
#include "frame_reader.hpp"
#include "generator.hpp"
#include "host_table.hpp"
#include "packet_dict.hpp"
#include "ref.hpp"

#include <fcntl.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using varnel::Ref;

// One capture to read: a path (bytes), a device name (bytes) or an object with fileno(), and the
// name its messages give.
struct Input {
    Ref item;
    std::string name;
};

struct CapturePlan {
    std::vector<Input> inputs;  // files in reading order, or one device
    bool live = false;
    varnel::LiveOptions live_options;
    std::string filter;
    bool has_filter = false;
    packet_decoding::LinkOptions link;
};

// A stream of every input in turn through one reader, so that the counts run over all of them.
template <class Sink>
class CaptureStream final : public varnel::GeneratorBody {
public:
    CaptureStream(CapturePlan plan, Sink sink) : plan_(std::move(plan)), sink_(std::move(sink)) {}

    PyObject* next_item() override {
        for (;;) {
            if (!reader_.is_open()) {
                if (next_input_ == plan_.inputs.size() || !open_next()) return nullptr;
            }
            switch (reader_.next(rec_)) {
                case varnel::FrameReader::Step::Frame: return sink_(rec_);
                case varnel::FrameReader::Step::Error: return nullptr;
                case varnel::FrameReader::Step::End:
                    reader_.close();
                    sink_.source_done();
                    break;
            }
        }
    }

    void finish() noexcept override {
        reader_.close();
        next_input_ = plan_.inputs.size();
        sink_.source_done();
    }

    PyObject* read_position() override { return reader_.read_position(); }
    PyObject* stats(bool running) override { return varnel::capture_stats_dict(reader_.stats(running)); }

    int traverse(visitproc visit, void* arg) override {
        for (const Input& input : plan_.inputs) Py_VISIT(input.item.get());
        return 0;
    }

private:
    bool open_next() {
        const Input& input = plan_.inputs[next_input_++];
        subject_ = input.name;
        prefix_ = input.name + ": ";
        reader_.set_messages({prefix_.c_str(), prefix_.c_str(), subject_.c_str()});
        const varnel::StreamSettings settings{plan_.link, plan_.has_filter ? plan_.filter.c_str() : nullptr};
        PyObject* item = input.item.get();
        if (plan_.live) return reader_.open_live(PyBytes_AS_STRING(item), plan_.live_options, settings);
        if (PyBytes_Check(item)) return reader_.open_file(PyBytes_AS_STRING(item), settings);
        // An open file or standard input: read from a copy of its descriptor, which closing the
        // stream closes, while the caller's stays open.
        int descriptor = PyObject_AsFileDescriptor(item);
        if (descriptor < 0) return false;
        int copy = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        return reader_.open_descriptor(copy, settings);
    }

    CapturePlan plan_;
    size_t next_input_ = 0;
    std::string subject_, prefix_;  // what the reader's messages point at
    varnel::FrameReader reader_{varnel::ReaderMessages{"", "", nullptr}};
    Sink sink_;
    PacketRecord rec_{};
};

struct PacketSink {
    varnel::PacketDicts dicts;
    PyObject* operator()(const PacketRecord& rec) { return dicts(rec); }
    void source_done() noexcept {}
};

// Feature rows: counts restart with every capture, as each file is a trace of its own, unless the
// files are read as one capture (`continuous`), when one host table runs over all of them.
class FeatureSink {
public:
    FeatureSink(bool flow_key, bool continuous) : flow_key_(flow_key), continuous_(continuous) {}

    // Throws std::bad_alloc when the host table cannot grow.
    PyObject* operator()(const PacketRecord& rec) {
        const AdvancedFeatures feat = varnel::features_of(rec, hosts_->count_packet(rec));
        if (!flow_key_) return varnel::feature_row(feat);
        bool v4 = rec.ip_version == 4;
        PyObject* source = v4 ? texts_->address_v4(rec.src_ip_v4) : texts_->address_v6(rec.src_ip_v6);
        PyObject* destination = v4 ? texts_->address_v4(rec.dst_ip_v4) : texts_->address_v6(rec.dst_ip_v6);
        return varnel::feature_row_with_flow_key(feat, source, destination, rec.ip_proto);
    }

    void source_done() noexcept {
        if (!continuous_) hosts_->clear();
    }

private:
    bool flow_key_;
    bool continuous_;
    std::unique_ptr<HostTracker> hosts_ = std::make_unique<HostTracker>();
    std::unique_ptr<varnel::PacketTexts> texts_ = std::make_unique<varnel::PacketTexts>();
};

// A syntax error in a filter shows at the call, before anything opens: the expression is compiled
// here for Ethernet. Whether it fits another link type shows when such a capture opens.
bool check_filter(const char* expression) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    if (dead == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    bpf_program program{};
    bool compiled = pcap_compile(dead, &program, expression, 1, PCAP_NETMASK_UNKNOWN) == 0;
    if (compiled) {
        pcap_freecode(&program);
    } else {
        Ref reason = varnel::pcap_text(pcap_geterr(dead));
        if (reason) PyErr_Format(PyExc_ValueError, "invalid filter '%s': %U", expression, reason.get());
    }
    pcap_close(dead);
    return compiled;
}

bool read_inputs(PyObject* inputs, CapturePlan& plan) {
    if (!PyTuple_Check(inputs)) {
        PyErr_SetString(PyExc_TypeError, "inputs must be a tuple of (source, name) pairs");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(inputs); ++i) {
        PyObject* item = nullptr;
        PyObject* name = nullptr;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(inputs, i), "OU", &item, &name)) return false;
        if (plan.live && !PyBytes_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "a device name must be bytes");
            return false;
        }
        // The file system's encoding, so that a name that is not UTF-8 comes back unchanged as the
        // file name of an OSError.
        Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(name));
        if (!encoded) return false;
        plan.inputs.push_back(Input{Ref::borrow(item), PyBytes_AS_STRING(encoded.get())});
    }
    return true;
}

// new_stream(name, features, inputs, live, filter, skip_vlan, flow_key, snaplen, promisc,
//            timeout_ms, buffer_size, immediate[, continuous])
PyObject* new_stream(PyObject*, PyObject* args) {
    PyObject* name = nullptr;
    PyObject* inputs = nullptr;
    const char* filter = nullptr;
    int features = 0, live = 0, skip_vlan = 0, flow_key = 0, promisc = 1, immediate = 0, continuous = 0;
    CapturePlan plan;
    if (!PyArg_ParseTuple(args, "UpOpzppipiip|p", &name, &features, &inputs, &live, &filter, &skip_vlan, &flow_key,
                          &plan.live_options.snapshot_length, &promisc, &plan.live_options.timeout_ms,
                          &plan.live_options.buffer_size, &immediate, &continuous)) {
        return nullptr;
    }
    plan.live = live != 0;
    plan.live_options.promiscuous = promisc != 0;
    plan.live_options.immediate = immediate != 0;
    plan.link.decode_vlan = skip_vlan == 0;
    if (filter != nullptr) {
        if (!check_filter(filter)) return nullptr;
        plan.filter = filter;
        plan.has_filter = true;
    }
    if (!read_inputs(inputs, plan)) return nullptr;
    std::unique_ptr<varnel::GeneratorBody> body;
    if (features) {
        body = std::make_unique<CaptureStream<FeatureSink>>(std::move(plan),
                                                            FeatureSink(flow_key != 0, continuous != 0));
    } else {
        body = std::make_unique<CaptureStream<PacketSink>>(std::move(plan), PacketSink{});
    }
    return varnel::new_generator(std::move(body), name, name);
}

PyMethodDef module_methods[] = {
    varnel::method<new_stream>("new_stream", METH_VARARGS,
                               "new_stream(name, features, inputs, live, filter, skip_vlan, flow_key, snaplen, "
                               "promisc, timeout_ms, buffer_size, immediate, continuous=False)\n--\n\n"
                               "A stream of packet dictionaries or feature rows; see varnel.read_packets."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "varnel._capture", "The native streams behind varnel's top-level functions.", -1,
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
    if (!varnel::ready_generator_type() || !varnel::init_packet_dicts() || !varnel::init_feature_rows()) {
        return nullptr;
    }
    host_table::seed_hash();
    return PyModule_Create(&module_def);
}

}  // namespace

// The interpreter derives the entry point's name from the module's, underscore and all.
PyMODINIT_FUNC PyInit__capture() {  // NOLINT(bugprone-reserved-identifier)
    return varnel::guarded_init<init_module>();
}
