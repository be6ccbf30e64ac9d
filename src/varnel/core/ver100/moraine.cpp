// varnel.core.ver100.moraine: KDD-style feature rows, with a per-destination packet count, from a
// capture file or a live device.
#include "moraine.h"

#include "args.hpp"
#include "boundary.hpp"
#include "feature_row.hpp"
#include "capture_stream.hpp"
#include "generator.hpp"
#include "host_table.hpp"
#include "ref.hpp"

#include <memory>

namespace {

using varnel::Ref;

// ---- Feature calculation.

void calculate_kdd(FeatureExtractorObject* self, const PacketRecord* rec, AdvancedFeatures* feat) {
    *feat = varnel::features_of(*rec, self->host_tracker->count_packet(*rec));
}

constexpr FeatureExtractorMethods kExtractorMethods{calculate_kdd};

FeatureExtractorObject* as_extractor(PyObject* object) { return reinterpret_cast<FeatureExtractorObject*>(object); }

// ---- Reading captures.

// The feature-row sink: counts each packet in its extractor's host table, which it empties when a
// run that opened its capture ends.
class FeatureRowSink {
public:
    explicit FeatureRowSink(PyObject* extractor) : extractor_(Ref::borrow(extractor)) {}

    // Throws std::bad_alloc when the host table cannot grow.
    PyObject* operator()(const PacketRecord& rec) {
        FeatureExtractorObject* self = as_extractor(extractor_.get());
        self->methods->_calculate_kdd(self, &rec, &feat_);
        return varnel::feature_row(feat_);
    }

    void input_done() noexcept {}
    void finish() noexcept { as_extractor(extractor_.get())->host_tracker->clear(); }

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(extractor_.get());
        return 0;
    }

private:
    Ref extractor_;
    AdvancedFeatures feat_{};
};

// Appends the row of every IP frame left in `reader`. False with an exception set; a damaged
// file ends early with a warning and counts as complete.
bool append_all_rows(varnel::FrameReader& reader, FeatureRowSink& sink, PyObject* rows) {
    PacketRecord rec{};
    for (;;) {
        switch (reader.next(rec)) {
            case varnel::FrameReader::Step::Frame: break;
            case varnel::FrameReader::Step::InputEnd:
            case varnel::FrameReader::Step::Idle: continue;
            case varnel::FrameReader::Step::End: return true;
            case varnel::FrameReader::Step::Error: return false;
        }
        Ref row = Ref::steal(sink(rec));
        if (!row || PyList_Append(rows, row.get()) < 0) return false;
    }
}

// Reads the whole file into `rows`; the host table is emptied afterwards, whatever happened.
bool read_all_rows(varnel::FrameReader& reader, FeatureRowSink& sink, PyObject* rows) {
    try {
        bool complete = append_all_rows(reader, sink, rows);
        reader.close();
        sink.finish();
        return complete;
    } catch (...) {
        reader.close();
        sink.finish();
        throw;
    }
}

// ---- The methods of FeatureExtractor.

PyObject* process_pcap(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* source = varnel::parse_bytes_or_none({"process_pcap", "file_path"}, args, nargs, kwnames);
    if (source == nullptr) return nullptr;
    std::unique_ptr<varnel::FrameReader> reader =
        varnel::argument_reader(source, varnel::CaptureInput::Kind::Path, varnel::Wording::Vietnamese);
    if (!reader || !reader->open_first()) return nullptr;  // the host table is left as it was
    FeatureRowSink sink(object);
    Ref rows = Ref::steal(PyList_New(0));
    if (!rows) {
        reader->close();
        sink.finish();
        return nullptr;
    }
    // A collection while the list fills would walk every row built so far, each one a cache
    // miss. Nothing the list holds can be part of a cycle (rows hold only str, int and float),
    // so the collector meets the list only once it is complete.
    PyObject_GC_UnTrack(rows.get());
    if (!read_all_rows(*reader, sink, rows.get())) return nullptr;
    PyObject_GC_Track(rows.get());
    return rows.release();
}

PyObject* new_feature_stream(PyObject* self, const varnel::ArgumentName& argument, varnel::CaptureInput::Kind kind,
                             PyObject* name, PyObject* qualname, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject* source = varnel::parse_bytes_or_none(argument, args, nargs, kwnames);
    if (source == nullptr) return nullptr;
    auto body = std::make_unique<varnel::CaptureStream<FeatureRowSink>>(source, kind, varnel::Wording::Vietnamese,
                                                                          FeatureRowSink(self));
    return varnel::new_generator(std::move(body), name, qualname);
}

struct Names {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject *process_live, *process_live_qualname, *iter_pcap, *iter_pcap_qualname;
};
Names names;

PyObject* process_live(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return new_feature_stream(self, {"process_live", "device_name"}, varnel::CaptureInput::Kind::Device,
                              names.process_live, names.process_live_qualname, args, nargs, kwnames);
}

PyObject* iter_pcap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return new_feature_stream(self, {"iter_pcap", "file_path"}, varnel::CaptureInput::Kind::Path, names.iter_pcap,
                              names.iter_pcap_qualname, args, nargs, kwnames);
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

// ---- The type.

PyObject* extractor_new(PyTypeObject* type, PyObject*, PyObject*) {
    // Every argument is accepted and ignored.
    auto tracker = std::make_unique<HostTracker>();
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    FeatureExtractorObject* self = as_extractor(object);
    self->methods = &kExtractorMethods;
    self->host_tracker = tracker.release();
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
    varnel::method<process_pcap>("process_pcap",
                                 "process_pcap($self, file_path)\n--\n\n"
                                 "Hàm API gọi từ Python để xử lý toàn bộ file PCAP"),
    varnel::method<process_live>("process_live",
                                 "process_live($self, device_name)\n--\n\n"
                                 "Hàm API gọi từ Python để trích xuất đặc trưng KDD trực tiếp từ Card mạng"),
    varnel::method<iter_pcap>("iter_pcap",
                              "iter_pcap($self, file_path)\n--\n\n"
                              "Yield, one at a time, the feature rows process_pcap would return for the file.\n"
                              "The file is opened at the first next(); when the generator ends, is closed or is\n"
                              "dropped, the file is closed and the host table emptied."),
    varnel::method<refuse_reduce>("__reduce__", nullptr),
    varnel::method<refuse_setstate>("__setstate__", nullptr),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef extractor_getset[] = {
    varnel::getter<get_tracked_hosts>("_tracked_hosts", "number of destination hosts the extractor is counting"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot extractor_slots[] = {
    varnel::slot<extractor_new>(Py_tp_new),
    varnel::slot<extractor_dealloc>(Py_tp_dealloc),
    varnel::data_slot(Py_tp_methods, extractor_methods),
    varnel::data_slot(Py_tp_getset, extractor_getset),
    {0, nullptr},
};

// No GC flag: the object holds no interpreter objects.
PyType_Spec extractor_spec = {
    "varnel.core.ver100.moraine.FeatureExtractor", sizeof(FeatureExtractorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, extractor_slots,
};

// ---- The module.

PyObject* set_expiry_threshold(PyObject*, PyObject* argument) {
    size_t threshold = PyLong_AsSize_t(argument);
    if (threshold == static_cast<size_t>(-1) && PyErr_Occurred()) return nullptr;
    size_t previous = host_table::expiry_threshold;
    host_table::expiry_threshold = threshold;
    return PyLong_FromSize_t(previous);
}

PyMethodDef module_functions[] = {
    varnel::method<set_expiry_threshold>(
        "_set_expiry_threshold", METH_O,
        "_set_expiry_threshold($module, threshold, /)\n--\n\n"
        "For tests only: drop stale hosts only while a family's table holds more than `threshold`\n"
        "hosts (65536 unless changed), in every table from its next packet on. Returns the previous value."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "varnel.core.ver100.moraine",
    "KDD-style feature rows, with a per-destination packet count, from pcap files and live devices.", -1,
    module_functions, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
    const varnel::InternedName entries[] = {
        {&names.process_live, "process_live"}, {&names.process_live_qualname, "FeatureExtractor.process_live"},
        {&names.iter_pcap, "iter_pcap"}, {&names.iter_pcap_qualname, "FeatureExtractor.iter_pcap"},
    };
    if (!varnel::ready_generator_type() || !varnel::intern_all(entries) || !varnel::init_feature_rows()) {
        return nullptr;
    }
    host_table::seed_hash();
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module.get(), &extractor_spec, nullptr));
    if (!type || PyModule_AddObjectRef(module.get(), "FeatureExtractor", type.get()) < 0) return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_moraine() { return varnel::guarded_init<init_module>(); }
