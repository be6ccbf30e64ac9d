// varnel._capture: the streams behind the package's top-level functions — packet dictionaries or
// feature rows from one or several capture files, standard input, an open file or a live device,
// with a filter, live options and statistics. The argument checks live in varnel/__init__.py.
#include "boundary.hpp"
#include "capture_stream.hpp"
#include "connection_options.hpp"
#include "connection_stream.hpp"
#include "feature_row.hpp"
#include "host_table.hpp"
#include "packet_dict.hpp"
#include "ref.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using varnel::Ref;

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

    void input_done() noexcept {
        if (!continuous_) hosts_->clear();
    }
    void finish() noexcept { hosts_->clear(); }
    int traverse(visitproc, void*) { return 0; }

private:
    bool flow_key_;
    bool continuous_;
    std::unique_ptr<HostTracker> hosts_ = std::make_unique<HostTracker>();
    std::unique_ptr<varnel::PacketTexts> texts_ = std::make_unique<varnel::PacketTexts>();
};

// check_filter(expression): a syntax error shows at the call, before anything opens: the expression
// is compiled here for Ethernet. Whether it fits another link type shows when such a capture opens.
PyObject* check_filter(PyObject*, PyObject* argument) {
    const char* expression = PyUnicode_AsUTF8(argument);
    if (expression == nullptr) return nullptr;
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    if (dead == nullptr) return PyErr_NoMemory();
    bpf_program program{};
    bool compiled = pcap_compile(dead, &program, expression, 1, PCAP_NETMASK_UNKNOWN) == 0;
    if (compiled) {
        pcap_freecode(&program);
    } else {
        Ref reason = varnel::pcap_text(pcap_geterr(dead));
        if (reason) PyErr_Format(PyExc_ValueError, "invalid filter '%s': %U", expression, reason.get());
    }
    pcap_close(dead);
    if (!compiled) return nullptr;
    Py_RETURN_NONE;
}

// The inputs of a stream, from a tuple of (source, name) pairs: a source is a path or device name
// (bytes), or an open file (anything with fileno(), or a descriptor number), copied when it opens.
bool read_inputs(PyObject* pairs, bool live, std::vector<varnel::CaptureInput>& inputs,
                 std::vector<PyObject*>& objects) {
    if (!PyTuple_Check(pairs)) {
        PyErr_SetString(PyExc_TypeError, "inputs must be a tuple of (source, name) pairs");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(pairs); ++i) {
        PyObject* item = nullptr;
        PyObject* name = nullptr;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(pairs, i), "OU", &item, &name)) return false;
        if (live && !PyBytes_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "a device name must be bytes");
            return false;
        }
        // The file system's encoding, so that a name that is not UTF-8 comes back unchanged as the
        // file name of an OSError.
        Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(name));
        if (!encoded) return false;
        varnel::CaptureInput input;
        input.name = PyBytes_AS_STRING(encoded.get());
        if (PyBytes_Check(item)) {
            input.kind = live ? varnel::CaptureInput::Kind::Device : varnel::CaptureInput::Kind::Path;
            input.location = PyBytes_AS_STRING(item);
            objects.push_back(nullptr);
        } else {
            input.kind = varnel::CaptureInput::Kind::Descriptor;
            objects.push_back(item);
        }
        inputs.push_back(std::move(input));
    }
    return true;
}

// The body of a stream of connection records, over a reader that only locates frames.
std::unique_ptr<varnel::GeneratorBody> connection_body(std::vector<varnel::CaptureInput> inputs,
                                                       varnel::ReaderSettings settings,
                                                       const std::vector<PyObject*>& objects,
                                                       PyObject* options, bool continuous) {
    varnel::connections::ConnectionOptions table_options;
    varnel::connections::ServiceTable services;
    if (!varnel::read_connection_options(options, table_options, services)) return nullptr;
    settings.decode = varnel::FrameDecode::NetworkStart;
    auto reader = std::make_unique<varnel::FrameReader>(std::move(inputs), std::move(settings),
                                                        varnel::Wording::Named, objects);
    auto feed = std::make_unique<varnel::connections::ConnectionFeed>(table_options, std::move(services), continuous);
    return std::make_unique<varnel::ConnectionStream>(std::move(reader), std::move(feed));
}

// new_stream(name, kind, inputs, *, live=False, filter=None, skip_vlan=False, flow_key=False,
//            continuous=False, snaplen=65535, promisc=True, timeout_ms=1000, buffer_size=0,
//            immediate=False, connections=None): `kind` is "packets", "features" or "connections"
//            (with `connections` its options); the filter was checked already.
PyObject* new_stream(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"name",       "kind",     "inputs",  "live",       "filter",
                                     "skip_vlan",  "flow_key", "continuous", "snaplen", "promisc",
                                     "timeout_ms", "buffer_size", "immediate", "connections", nullptr};
    PyObject* name = nullptr;
    const char* kind = nullptr;
    PyObject* pairs = nullptr;
    const char* filter = nullptr;
    PyObject* connection_options = nullptr;
    int live = 0, skip_vlan = 0, flow_key = 0, continuous = 0, promisc = 1, immediate = 0;
    varnel::ReaderSettings settings;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UsO|$pzpppipiipO:new_stream", const_cast<char**>(keywords),
                                     &name, &kind, &pairs, &live, &filter, &skip_vlan, &flow_key, &continuous,
                                     &settings.live.snapshot_length, &promisc, &settings.live.timeout_ms,
                                     &settings.live.buffer_size, &immediate, &connection_options)) {
        return nullptr;
    }
    settings.live.promiscuous = promisc != 0;
    settings.live.immediate = immediate != 0;
    settings.link.decode_vlan = skip_vlan == 0;
    if (filter != nullptr) settings.filter = filter;
    std::vector<varnel::CaptureInput> inputs;
    std::vector<PyObject*> objects;
    if (!read_inputs(pairs, live != 0, inputs, objects)) return nullptr;
    if (std::strcmp(kind, "connections") == 0) {
        if (connection_options == nullptr) {
            PyErr_SetString(PyExc_TypeError, "connection records need their options");
            return nullptr;
        }
        auto body = connection_body(std::move(inputs), std::move(settings), objects, connection_options,
                                    continuous != 0);
        return body ? varnel::new_generator(std::move(body), name, name) : nullptr;
    }
    auto reader = std::make_unique<varnel::FrameReader>(std::move(inputs), std::move(settings),
                                                        varnel::Wording::Named, std::move(objects));
    std::unique_ptr<varnel::GeneratorBody> body;
    if (std::strcmp(kind, "features") == 0) {
        body = std::make_unique<varnel::CaptureStream<FeatureSink>>(std::move(reader),
                                                                    FeatureSink(flow_key != 0, continuous != 0));
    } else if (std::strcmp(kind, "packets") == 0) {
        using Stream = varnel::CaptureStream<varnel::PacketDictSink>;
        body = std::make_unique<Stream>(std::move(reader), varnel::PacketDictSink{});
    } else {
        PyErr_Format(PyExc_ValueError, "kind must be 'packets', 'features' or 'connections', not '%.200s'", kind);
        return nullptr;
    }
    return varnel::new_generator(std::move(body), name, name);
}

PyMethodDef module_methods[] = {
    varnel::method<new_stream>("new_stream", METH_VARARGS | METH_KEYWORDS,
                               "new_stream(name, kind, inputs, *, live=False, filter=None, skip_vlan=False, "
                               "flow_key=False, continuous=False, snaplen=65535, promisc=True, timeout_ms=1000, "
                               "buffer_size=0, immediate=False, connections=None)\n--\n\n"
                               "A stream of packet dictionaries, feature rows or connection records; see "
                               "varnel.read_packets."),
    varnel::method<check_filter>("check_filter", METH_O,
                                 "check_filter(expression, /)\n--\n\n"
                                 "Raises ValueError when libpcap cannot compile the filter expression."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "varnel._capture", "The native streams behind varnel's top-level functions.", -1,
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
    if (!varnel::ready_generator_type() || !varnel::init_packet_dicts() || !varnel::init_feature_rows() ||
        !varnel::init_connection_dicts()) {
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
