// varnel.core.ver100.moraine: KDD-style feature rows, with a per-destination packet count, from a
// capture file or a live device.
#include "moraine.h"

#include "args.hpp"
#include "capture.hpp"
#include "dict_template.hpp"
#include "generator.hpp"
#include "host_table.hpp"
#include "int_cache.hpp"
#include "ref.hpp"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace {

using varnel::put;
using varnel::Ref;

// ---- Feature calculation.

void calculate_kdd(FeatureExtractorObject* self, const PacketRecord* rec, AdvancedFeatures* feat) {
    feat->timestamp = rec->timestamp;
    feat->src_ip = rec->src_ip_v4;
    feat->dst_ip = rec->dst_ip_v4;
    feat->src_port = rec->src_port;
    feat->dst_port = rec->dst_port;
    feat->protocol_type = rec->ip_proto;
    feat->duration = 0;
    feat->src_bytes = rec->frame_length;
    feat->land = static_cast<uint8_t>(rec->land);
    feat->wrong_fragment = static_cast<uint32_t>(rec->wrong_fragment);
    feat->urgent = static_cast<uint32_t>(rec->urgent);
    feat->count = self->host_tracker->count_packet(*rec);
}

constexpr FeatureExtractorMethods kExtractorMethods{calculate_kdd};

FeatureExtractorObject* as_extractor(PyObject* object) { return reinterpret_cast<FeatureExtractorObject*>(object); }

// ---- Feature rows.

// Interned keys and constant values, made once at module load. The one instance lives in static
// storage, zero-initialised before the module loads.
struct Names {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject *timestamp, *src_port, *dst_port, *protocol_type, *src_bytes, *land, *wrong_fragment, *count;
    PyObject *tcp, *udp, *icmp;
    PyObject *process_live, *process_live_qualname, *iter_pcap, *iter_pcap_qualname;
    varnel::DictTemplate row;  // every row starts as a copy of it
    varnel::UIntCache ints;
};
Names names;

bool intern_names() {
    const varnel::InternedName entries[] = {
        {&names.timestamp, "timestamp"}, {&names.src_port, "src_port"}, {&names.dst_port, "dst_port"},
        {&names.protocol_type, "protocol_type"}, {&names.src_bytes, "src_bytes"}, {&names.land, "land"},
        {&names.wrong_fragment, "wrong_fragment"}, {&names.count, "count"}, {&names.tcp, "TCP"},
        {&names.udp, "UDP"}, {&names.icmp, "ICMP"}, {&names.process_live, "process_live"},
        {&names.process_live_qualname, "FeatureExtractor.process_live"}, {&names.iter_pcap, "iter_pcap"},
        {&names.iter_pcap_qualname, "FeatureExtractor.iter_pcap"},
    };
    if (!varnel::intern_all(entries)) return false;
    const std::array keys{names.timestamp, names.src_port,  names.dst_port,       names.protocol_type,
                          names.src_bytes, names.land,      names.wrong_fragment, names.count};
    return names.row.init(keys);
}

PyObject* protocol_name(uint8_t protocol) {
    switch (protocol) {
        case packet_decoding::kProtoTCP: return names.tcp;
        case packet_decoding::kProtoUDP: return names.udp;
        default: return names.icmp;  // ICMPv6, 0 and every other number alike
    }
}

// The row of one packet's features: a new reference, or null with an exception set.
PyObject* feature_row(const AdvancedFeatures& feat) {
    varnel::DictFill row(names.row);
    if (!row) return nullptr;
    varnel::UIntCache& ints = names.ints;
    bool filled = put(row, names.timestamp, PyFloat_FromDouble(feat.timestamp)) &&
                  put(row, names.src_port, ints.get(feat.src_port)) &&
                  put(row, names.dst_port, ints.get(feat.dst_port)) &&
                  put(row, names.protocol_type, Py_NewRef(protocol_name(feat.protocol_type))) &&
                  put(row, names.src_bytes, ints.get(feat.src_bytes)) &&
                  put(row, names.land, ints.get(feat.land)) &&
                  put(row, names.wrong_fragment, ints.get(feat.wrong_fragment)) &&
                  put(row, names.count, ints.get(feat.count));
    return filled ? row.release() : nullptr;
}

// ---- Reading captures.

constexpr varnel::CaptureMessages kFileMessages{"Lỗi mở file PCAP: ", "Lỗi đọc file PCAP: "};
constexpr varnel::CaptureMessages kDeviceMessages{"Lỗi mở card mạng: ", "Lỗi đọc card mạng: "};

// Decodes each frame into one record and takes the IPv4 and IPv6 ones.
struct TakeIpFrames {
    PacketRecord* rec;
    bool operator()(const pcap_pkthdr& header, const u_char* frame) const {
        _parse_packet_c(&header, frame, rec);
        return rec->is_valid != 0;
    }
};

// Appends the row of every IP frame left in `capture`. False with an exception set; a damaged
// file ends early with a warning and counts as complete.
bool append_all_rows(FeatureExtractorObject* self, varnel::Capture& capture, PyObject* rows) {
    PacketRecord rec{};
    AdvancedFeatures feat{};
    const TakeIpFrames take{&rec};
    try {
        for (;;) {
            varnel::Capture::Status status = capture.next(take);
            if (status != varnel::Capture::Status::Frame) return status == varnel::Capture::Status::End;
            self->methods->_calculate_kdd(self, &rec, &feat);
            Ref row = Ref::steal(feature_row(feat));
            if (!row || PyList_Append(rows, row.get()) < 0) return false;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// The body of process_live and iter_pcap: one row per IP frame. It holds its extractor, whose
// host table it empties when the stream finishes after the capture was opened.
class FeatureStream final : public varnel::CaptureStream {
public:
    FeatureStream(PyObject* extractor, PyObject* source, varnel::Capture::Kind kind,
                  const varnel::CaptureMessages& messages)
        : CaptureStream(source, kind, messages), extractor_(Ref::borrow(extractor)) {}

    PyObject* next_item() override {
        if (!ensure_open()) return nullptr;
        if (capture_.next(TakeIpFrames{&rec_}) != varnel::Capture::Status::Frame) return nullptr;
        FeatureExtractorObject* self = as_extractor(extractor_.get());
        self->methods->_calculate_kdd(self, &rec_, &feat_);
        return feature_row(feat_);
    }

    void finish() noexcept override {
        bool was_reading = capture_.is_open();
        CaptureStream::finish();
        if (was_reading) as_extractor(extractor_.get())->host_tracker->clear();
    }

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(extractor_.get());
        return 0;
    }

private:
    Ref extractor_;
    PacketRecord rec_{};
    AdvancedFeatures feat_{};
};

// ---- The methods of FeatureExtractor.

PyObject* process_pcap(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* source = varnel::parse_bytes_or_none({"process_pcap", "file_path"}, args, nargs, kwnames);
    if (source == nullptr) return nullptr;
    varnel::Capture capture(varnel::Capture::Kind::File, kFileMessages);
    if (!capture.open_source(source)) return nullptr;  // the host table is left as it was
    FeatureExtractorObject* self = as_extractor(object);
    Ref rows = Ref::steal(PyList_New(0));
    if (rows) {
        // A collection while the list fills would walk every row built so far, each one a cache
        // miss. Nothing the list holds can be part of a cycle (rows hold only str, int and float),
        // so the collector meets the list only once it is complete.
        PyObject_GC_UnTrack(rows.get());
    }
    bool complete = rows && append_all_rows(self, capture, rows.get());
    capture.close();
    self->host_tracker->clear();
    if (!complete) return nullptr;
    PyObject_GC_Track(rows.get());
    return rows.release();
}

PyObject* new_feature_stream(PyObject* self, const varnel::ArgumentName& argument, varnel::Capture::Kind kind,
                             const varnel::CaptureMessages& messages, PyObject* name, PyObject* qualname,
                             PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* source = varnel::parse_bytes_or_none(argument, args, nargs, kwnames);
    if (source == nullptr) return nullptr;
    try {
        return varnel::new_generator(std::make_unique<FeatureStream>(self, source, kind, messages), name,
                                     qualname);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* process_live(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return new_feature_stream(self, {"process_live", "device_name"}, varnel::Capture::Kind::Live, kDeviceMessages,
                              names.process_live, names.process_live_qualname, args, nargs, kwnames);
}

PyObject* iter_pcap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return new_feature_stream(self, {"iter_pcap", "file_path"}, varnel::Capture::Kind::File, kFileMessages,
                              names.iter_pcap, names.iter_pcap_qualname, args, nargs, kwnames);
}

PyObject* get_tracked_hosts(PyObject* self, void*) {
    return PyLong_FromSize_t(as_extractor(self)->host_tracker->size());
}

// ---- Pickling refusal: a copy could not carry the host table along.

PyObject* raise_not_picklable() {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

PyObject* refuse_reduce(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!varnel::parse_no_arguments("__reduce__", nargs, kwnames)) return nullptr;
    return raise_not_picklable();
}

PyObject* refuse_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (varnel::parse_one_argument({"__setstate__", "state"}, args, nargs, kwnames) == nullptr) return nullptr;
    return raise_not_picklable();
}

PyMethodDef pickling_refusals[] = {
    {"__reduce__", varnel::fastcall(refuse_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", varnel::fastcall(refuse_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
};

bool is_inherited_from_object(PyObject* type, const char* name, bool* inherited) {
    Ref own = Ref::steal(PyObject_GetAttrString(type, name));
    if (!own) return false;
    Ref base = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), name));
    if (!base) return false;
    *inherited = own.get() == base.get();
    return true;
}

// Installs the refusals, unless the type already decides how it is pickled.
bool install_pickling_refusals(PyObject* type) {
    bool default_getstate = false;
    bool default_reduce_ex = false;
    if (!is_inherited_from_object(type, "__getstate__", &default_getstate) ||
        !is_inherited_from_object(type, "__reduce_ex__", &default_reduce_ex)) {
        return false;
    }
    if (!default_getstate || !default_reduce_ex) return true;
    PyTypeObject* type_object = reinterpret_cast<PyTypeObject*>(type);
    Ref dict = Ref::steal(PyType_GetDict(type_object));  // the type is immutable from Python
    if (!dict) return false;
    for (PyMethodDef& refusal : pickling_refusals) {
        Ref descriptor = Ref::steal(PyDescr_NewMethod(type_object, &refusal));
        if (!descriptor || PyDict_SetItemString(dict.get(), refusal.ml_name, descriptor.get()) < 0) return false;
    }
    PyType_Modified(type_object);
    return true;
}

bool refuse_pickling(PyObject* type) {
    if (install_pickling_refusals(type)) return true;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                 reinterpret_cast<PyTypeObject*>(type)->tp_name);
    if (cause != nullptr) {
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, Py_NewRef(cause));
        PyException_SetContext(error, cause);
        PyErr_SetRaisedException(error);
    }
    return false;
}

// ---- The type.

PyObject* extractor_new(PyTypeObject* type, PyObject*, PyObject*) {
    // Every argument is accepted and ignored.
    HostTracker* tracker = new (std::nothrow) HostTracker();
    if (tracker == nullptr) return PyErr_NoMemory();
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) {
        delete tracker;
        return nullptr;
    }
    FeatureExtractorObject* self = as_extractor(object);
    self->methods = &kExtractorMethods;
    self->host_tracker = tracker;
    return object;
}

void extractor_dealloc(PyObject* object) {
    FeatureExtractorObject* self = as_extractor(object);
    delete self->host_tracker;
    self->host_tracker = nullptr;
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyMethodDef extractor_methods[] = {
    {"process_pcap", varnel::fastcall(process_pcap), METH_FASTCALL | METH_KEYWORDS,
     "process_pcap($self, file_path)\n--\n\n"
     "Hàm API gọi từ Python để xử lý toàn bộ file PCAP"},
    {"process_live", varnel::fastcall(process_live), METH_FASTCALL | METH_KEYWORDS,
     "process_live($self, device_name)\n--\n\n"
     "Hàm API gọi từ Python để trích xuất đặc trưng KDD trực tiếp từ Card mạng"},
    {"iter_pcap", varnel::fastcall(iter_pcap), METH_FASTCALL | METH_KEYWORDS,
     "iter_pcap($self, file_path)\n--\n\n"
     "Yield, one at a time, the feature rows process_pcap would return for the file.\n"
     "The file is opened at the first next(); when the generator ends, is closed or is dropped,\n"
     "the file is closed and the host table emptied."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef extractor_getset[] = {
    {"_tracked_hosts", get_tracked_hosts, nullptr, "number of destination hosts the extractor is counting", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot extractor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(extractor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(extractor_dealloc)},
    {Py_tp_methods, extractor_methods},
    {Py_tp_getset, extractor_getset},
    {0, nullptr},
};

// No GC flag: the object holds no interpreter objects.
PyType_Spec extractor_spec = {
    "varnel.core.ver100.moraine.FeatureExtractor", sizeof(FeatureExtractorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, extractor_slots,
};

// ---- The module.

void seed_host_hash() {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
        seed = static_cast<uint64_t>(std::time(nullptr)) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(getpid());
    }
    host_table::hash_seed = seed;
}

PyObject* set_expiry_threshold(PyObject*, PyObject* argument) {
    size_t threshold = PyLong_AsSize_t(argument);
    if (threshold == static_cast<size_t>(-1) && PyErr_Occurred()) return nullptr;
    size_t previous = host_table::expiry_threshold;
    host_table::expiry_threshold = threshold;
    return PyLong_FromSize_t(previous);
}

PyMethodDef module_functions[] = {
    {"_set_expiry_threshold", set_expiry_threshold, METH_O,
     "_set_expiry_threshold($module, threshold, /)\n--\n\n"
     "For tests only: drop stale hosts only while a family's table holds more than `threshold`\n"
     "hosts (65536 unless changed), in every table from its next packet on. Returns the previous value."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "varnel.core.ver100.moraine",
    "KDD-style feature rows, with a per-destination packet count, from pcap files and live devices.", -1,
    module_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_moraine() {
    if (!varnel::ready_generator_type() || !intern_names()) return nullptr;
    seed_host_hash();
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module.get(), &extractor_spec, nullptr));
    if (!type || !refuse_pickling(type.get()) ||
        PyModule_AddObjectRef(module.get(), "FeatureExtractor", type.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
