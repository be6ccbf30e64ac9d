#include "pcap_text.hpp"

#include <cstring>

namespace varnel {

Ref pcap_text(const char* text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "backslashreplace"));
}

Ref prefixed_message(const char* prefix, const char* text) {
    Ref detail = pcap_text(text);
    if (!detail) return Ref();
    return Ref::steal(PyUnicode_FromFormat("%s%U", prefix, detail.get()));
}

PyObject* raise_with_pcap_text(PyObject* type, const char* prefix, const char* text) {
    Ref reason = pcap_text(text);
    Ref message = reason ? Ref::steal(PyUnicode_FromFormat("%s%U", prefix, reason.get())) : Ref();
    if (!message) return nullptr;
    Ref error = Ref::steal(PyObject_CallOneArg(type, message.get()));
    if (!error || PyObject_SetAttrString(error.get(), "reason", reason.get()) < 0) return nullptr;
    PyErr_SetRaisedException(error.release());
    return nullptr;
}

bool warn_with_pcap_text(const char* prefix, const char* text) {
    Ref message = prefixed_message(prefix, text);
    if (!message) return false;
    const char* utf8 = PyUnicode_AsUTF8(message.get());
    return utf8 != nullptr && PyErr_WarnEx(PyExc_RuntimeWarning, utf8, 1) == 0;
}

}  // namespace varnel
