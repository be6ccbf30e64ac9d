// varnel.core.base.portolan: the capture devices libpcap reports, and an automatic choice among them.
#include "args.hpp"
#include "boundary.hpp"
#include "pcap_text.hpp"
#include "dict_template.hpp"
#include "ref.hpp"

#include <pcap/pcap.h>

#include <cstring>
#include <memory>

namespace {

using varnel::put;
using varnel::Ref;

// The interpreter names a no-argument function by module and qualified name in its TypeErrors.
constexpr const char* kGetAllDevicesName = "varnel.core.base.portolan.get_all_devices";
constexpr const char* kGetAutoDeviceName = "varnel.core.base.portolan.get_auto_device";
constexpr const char* kFindFailedPrefix = "Lỗi tìm thiết bị: ";

// libpcap's bit for an interface that is up.
constexpr long kUpFlag = PCAP_IF_UP;
static_assert(kUpFlag == 2);

// Interned keys and constants, made once at module load. The one instance lives in static storage,
// zero-initialised before the module loads.
struct Names {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject *name, *description, *flags;
    PyObject *get_all_devices, *lower, *startswith;
    PyObject *loopback_name, *loopback_word;
    PyObject* preferred_prefixes;  // tuple, for str.startswith
    PyObject *up_flag, *first_index;
    varnel::DictTemplate device;  // "name", "description", "flags", in that order
};
Names names;

bool intern_names() {
    const varnel::InternedName entries[] = {
        {&names.name, "name"},         {&names.description, "description"},
        {&names.flags, "flags"},       {&names.get_all_devices, "get_all_devices"},
        {&names.lower, "lower"},       {&names.startswith, "startswith"},
        {&names.loopback_name, "lo0"}, {&names.loopback_word, "loopback"},
    };
    if (!varnel::intern_all(entries)) return false;
    names.preferred_prefixes = Py_BuildValue("(sss)", "en", "eth", "wlan");
    names.up_flag = PyLong_FromLong(kUpFlag);
    names.first_index = PyLong_FromLong(0);
    if (!names.preferred_prefixes || !names.up_flag || !names.first_index) return false;
    PyObject* const keys[] = {names.name, names.description, names.flags};
    return names.device.init(keys);
}

// ---- get_all_devices

// Owns libpcap's device list from a successful pcap_findalldevs until it is freed, on every path
// out. A null list (no devices) is never passed to pcap_freealldevs.
struct DeviceListFreer {
    void operator()(pcap_if_t* list) const noexcept { pcap_freealldevs(list); }
};
using DeviceList = std::unique_ptr<pcap_if_t, DeviceListFreer>;

// libpcap leaves absent names and descriptions null; the caller always gets a str. An interface
// name need not be UTF-8: its other bytes decode as surrogates, so that encoding the name back
// with "surrogateescape" (as get_auto_device does) gives the very bytes libpcap listed.
PyObject* device_text(const char* text) {
    if (text == nullptr) text = "";
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "surrogateescape");
}

PyObject* device_dict(const pcap_if_t& device) {
    Ref dict = Ref::steal(names.device.new_dict());
    if (!dict || !put(dict.get(), names.name, device_text(device.name)) ||
        !put(dict.get(), names.description, device_text(device.description)) ||
        !put(dict.get(), names.flags, PyLong_FromUnsignedLong(device.flags))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* get_all_devices(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!varnel::parse_no_arguments(kGetAllDevicesName, nargs, kwnames)) return nullptr;
    Ref devices = Ref::steal(PyList_New(0));
    if (!devices) return nullptr;

    char errbuf[varnel::kErrbufSize] = {};
    pcap_if_t* head = nullptr;
    if (pcap_findalldevs(&head, errbuf) == -1) {
        errbuf[sizeof errbuf - 1] = '\0';  // never read past the buffer, whatever libpcap wrote
        return varnel::raise_with_pcap_text(PyExc_RuntimeError, kFindFailedPrefix, errbuf);
    }
    DeviceList owned_list(head);
    for (const pcap_if_t* device = head; device != nullptr; device = device->next) {
        Ref dict = Ref::steal(device_dict(*device));
        if (!dict || PyList_Append(devices.get(), dict.get()) < 0) return nullptr;
    }
    return devices.release();
}

// ---- get_auto_device

// The object bound to get_all_devices now: the module's own attribute (which a host may rebind),
// else a builtin of that name. Null with NameError set when neither exists.
Ref find_enumerator(PyObject* module) {
    PyObject* found = nullptr;
    int in_module = PyDict_GetItemRef(PyModule_GetDict(module), names.get_all_devices, &found);
    if (in_module != 0) return Ref::steal(found);  // found, or null with the lookup's error
    Ref builtins = Ref::steal(PyEval_GetFrameBuiltins());
    if (!builtins || PyMapping_GetOptionalItem(builtins.get(), names.get_all_devices, &found) < 0) return Ref();
    if (found == nullptr) PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.get_all_devices);
    return Ref::steal(found);
}

// 1 or 0 for the truth of `left == right` in the interpreter's sense; -1 with an exception set.
int equals(PyObject* left, PyObject* right) {
    Ref result = Ref::steal(PyObject_RichCompare(left, right, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

int contains_loopback_word(PyObject* name) {
    Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(name, names.lower));
    return lowered ? PySequence_Contains(lowered.get(), names.loopback_word) : -1;
}

// Loopback devices are told by name alone: exactly "lo0", or "loopback" in any letter case.
// The two passes that exclude them make the two tests in opposite orders.
enum class TestFirst { ExactName, Word };

int is_loopback_name(PyObject* name, TestFirst first) {
    int result = first == TestFirst::ExactName ? equals(name, names.loopback_name) : contains_loopback_word(name);
    if (result != 0) return result;
    return first == TestFirst::ExactName ? contains_loopback_word(name) : equals(name, names.loopback_name);
}

// A wired or wireless interface that is up: a preferred prefix (case as given) and the up bit.
int is_preferred(PyObject* name, PyObject* flags) {
    Ref has_prefix = Ref::steal(PyObject_CallMethodOneArg(name, names.startswith, names.preferred_prefixes));
    if (!has_prefix) return -1;
    int prefix_matches = PyObject_IsTrue(has_prefix.get());
    if (prefix_matches <= 0) return prefix_matches;
    Ref up_bit = Ref::steal(PyNumber_And(flags, names.up_flag));
    return up_bit ? PyObject_IsTrue(up_bit.get()) : -1;
}

// The chosen name so far: a str (empty while nothing is chosen) or None.
class Choice {
public:
    // Takes `value` as the choice; false with TypeError set unless it is a str or None.
    bool choose(Ref value) {
        if (value.get() != Py_None && !PyUnicode_Check(value.get())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value.get())->tp_name);
            return false;
        }
        best_match_ = std::move(value);
        return true;
    }
    bool made() const {
        PyObject* name = best_match_.get();
        return name != nullptr && name != Py_None && PyUnicode_GET_LENGTH(name) > 0;
    }
    // The choice as UTF-8 bytes, or None when nothing was chosen.
    PyObject* result() const {
        return made() ? PyUnicode_AsEncodedString(best_match_.get(), "utf-8", "surrogateescape") : Py_NewRef(Py_None);
    }

private:
    Ref best_match_;  // nothing chosen yet, as an empty name would be
};

// Each pass returns 1 when it chose, 0 when it found nothing, -1 with an exception set.
template <class Visit>
int for_each_device(PyObject* devices, Visit&& visit) {
    Ref iterator = Ref::steal(PyObject_GetIter(devices));
    if (!iterator) return -1;
    while (Ref device = Ref::steal(PyIter_Next(iterator.get()))) {
        int outcome = visit(device.get());
        if (outcome != 0) return outcome;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// First pass: the earliest preferred device that is up. Name and flags are read for every entry.
int choose_preferred(PyObject* devices, Choice& choice) {
    return for_each_device(devices, [&choice](PyObject* device) {
        Ref name = Ref::steal(PyObject_GetItem(device, names.name));
        if (!name) return -1;
        Ref flags = Ref::steal(PyObject_GetItem(device, names.flags));
        if (!flags) return -1;
        int loopback = is_loopback_name(name.get(), TestFirst::ExactName);
        if (loopback != 0) return loopback < 0 ? -1 : 0;
        int preferred = is_preferred(name.get(), flags.get());
        if (preferred <= 0) return preferred;
        return choice.choose(std::move(name)) ? 1 : -1;
    });
}

// Second pass: the earliest device that is not a loopback device by name.
int choose_not_loopback(PyObject* devices, Choice& choice) {
    return for_each_device(devices, [&choice](PyObject* device) {
        Ref name = Ref::steal(PyObject_GetItem(device, names.name));
        if (!name) return -1;
        int loopback = is_loopback_name(name.get(), TestFirst::Word);
        if (loopback != 0) return loopback < 0 ? -1 : 0;
        return choice.choose(std::move(name)) ? 1 : -1;
    });
}

// Last resort: the first device, whatever it is.
bool choose_first(PyObject* devices, Choice& choice) {
    Ref first = Ref::steal(PyObject_GetItem(devices, names.first_index));
    if (!first) return false;
    Ref name = Ref::steal(PyObject_GetItem(first.get(), names.name));
    return name && choice.choose(std::move(name));
}

PyObject* get_auto_device(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!varnel::parse_no_arguments(kGetAutoDeviceName, nargs, kwnames)) return nullptr;
    Ref enumerator = find_enumerator(module);
    if (!enumerator) return nullptr;
    Ref devices = Ref::steal(PyObject_CallNoArgs(enumerator.get()));
    if (!devices) return nullptr;
    int has_devices = PyObject_IsTrue(devices.get());
    if (has_devices <= 0) return has_devices < 0 ? nullptr : Py_NewRef(Py_None);

    Choice choice;
    if (choose_preferred(devices.get(), choice) < 0) return nullptr;
    if (!choice.made() && choose_not_loopback(devices.get(), choice) < 0) return nullptr;
    if (!choice.made()) {
        // The last resort is conditioned on the list being true, so its truth is asked again.
        has_devices = PyObject_IsTrue(devices.get());
        if (has_devices < 0 || (has_devices > 0 && !choose_first(devices.get(), choice))) return nullptr;
    }
    return choice.result();
}

// ---- The module.

PyMethodDef module_methods[] = {
    varnel::method<get_all_devices>(
        "get_all_devices",
        "get_all_devices()\n--\n\n"
        "Return the capture devices libpcap can open, in libpcap's order, as a list of dictionaries\n"
        "{'name': str, 'description': str, 'flags': int}. A missing name or description is ''; flags\n"
        "is libpcap's unsigned interface flags word (up = 2). Raises RuntimeError when libpcap cannot\n"
        "list the devices."),
    varnel::method<get_auto_device>(
        "get_auto_device",
        "get_auto_device()\n--\n\n"
        "Choose a capture device from get_all_devices() and return its name as UTF-8 bytes, ready\n"
        "for start_sniff and process_live, or None when there is no device. The first device whose\n"
        "name starts with 'en', 'eth' or 'wlan' and is up wins; failing that, the first device not\n"
        "named 'lo0' nor containing 'loopback' in any case; failing that, the first device."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "varnel.core.base.portolan",
    "Capture devices as libpcap reports them, and an automatic choice of one for live capture.", -1,
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
    if (!intern_names()) return nullptr;
    return PyModule_Create(&module_def);
}

}  // namespace

PyMODINIT_FUNC PyInit_portolan() { return varnel::guarded_init<init_module>(); }
