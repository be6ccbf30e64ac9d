// varnel.core.base.grapnel: packet dictionaries from a capture file or a live device.
#include "grapnel.h"

#include "args.hpp"
#include "boundary.hpp"
#include "capture_stream.hpp"
#include "generator.hpp"
#include "packet_dict.hpp"
#include "ref.hpp"

#include <memory>

namespace {

using varnel::Ref;

struct Names {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject *read_pcap, *start_sniff;
};
Names names;

PyObject* new_packet_stream(const varnel::ArgumentName& argument, PyObject* name, varnel::CaptureInput::Kind kind,
                            PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* source = varnel::parse_bytes_or_none(argument, args, nargs, kwnames);
    if (source == nullptr) return nullptr;
    using Stream = varnel::CaptureStream<varnel::PacketDictSink>;
    auto body = std::make_unique<Stream>(source, kind, varnel::Wording::English, varnel::PacketDictSink{});
    return varnel::new_generator(std::move(body), name, name);
}

PyObject* read_pcap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return new_packet_stream({"read_pcap", "file_path"}, names.read_pcap, varnel::CaptureInput::Kind::Path, args,
                             nargs, kwnames);
}

PyObject* start_sniff(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return new_packet_stream({"start_sniff", "device_name"}, names.start_sniff, varnel::CaptureInput::Kind::Device,
                             args, nargs, kwnames);
}

PyMethodDef module_methods[] = {
    varnel::method<read_pcap>(
        "read_pcap",
        "read_pcap(file_path)\n--\n\n"
        "Yield one packet dictionary per IPv4 or IPv6 frame of a pcap or pcapng file, in file order.\n"
        "The file is opened at the first next() and closed when the generator ends or is closed."),
    varnel::method<start_sniff>(
        "start_sniff",
        "start_sniff(device_name)\n--\n\n"
        "Yield one packet dictionary per IPv4 or IPv6 frame captured live on a device, without end.\n"
        "The device is opened at the first next() and closed when the generator is closed or dropped."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "varnel.core.base.grapnel",
    "Packet dictionaries from pcap files and live devices, decoded natively through libpcap.", -1,
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

bool bind_module(PyObject* module, const char* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(name));
    return imported && PyModule_AddObjectRef(module, name, imported.get()) == 0;
}

PyObject* init_module() {
    const varnel::InternedName entries[] = {{&names.read_pcap, "read_pcap"}, {&names.start_sniff, "start_sniff"}};
    if (!varnel::ready_generator_type() || !varnel::intern_all(entries) || !varnel::init_packet_dicts()) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !bind_module(module.get(), "time") || !bind_module(module.get(), "socket")) return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_grapnel() { return varnel::guarded_init<init_module>(); }
