// libpcap's texts (error buffers, device names) as interpreter strings and exceptions.
#pragma once

#include "capture_error.hpp"
#include "ref.hpp"

#include <pcap/pcap.h>

namespace varnel {

// libpcap's text as a str. Its bytes are UTF-8 mostly, but a file or interface name need not be,
// and a name may be cut mid-character by the error buffer: such bytes come out as \xNN escapes
// rather than failing, so the message is never lost.
Ref pcap_text(const char* text);

// `prefix` followed by libpcap's `text`; null with an exception set (out of memory only).
Ref prefixed_message(const char* prefix, const char* text);

// Raises `type` with `prefix` followed by libpcap's `text`; the exception's `reason` attribute
// holds libpcap's text alone, so callers need not strip the prefix back off. Always returns null.
PyObject* raise_with_pcap_text(PyObject* type, const char* prefix, const char* text);

// Issues a RuntimeWarning of `prefix` followed by libpcap's `text`. False with an exception set
// (the warning was turned into an error, or memory ran out).
bool warn_with_pcap_text(const char* prefix, const char* text);

}  // namespace varnel
