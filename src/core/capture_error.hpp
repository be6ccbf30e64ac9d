// What went wrong with a capture, as the core says it: a kind, the file or device it is about,
// libpcap's text and the errno behind it. Never a message for one API: each Python-facing edge
// turns this into its own documented text and exception.
#pragma once

#include <pcap/pcap.h>

#include <cstring>
#include <string>
#include <string_view>

namespace varnel {

// libpcap's error-buffer size wherever a call takes one.
inline constexpr int kErrbufSize = PCAP_ERRBUF_SIZE;
static_assert(kErrbufSize == 256);

enum class ErrorKind : unsigned char {
    None,
    NotFound,         // the file or device does not exist (ENOENT)
    Permission,       // not allowed to read the file or capture on the device (EACCES, EPERM)
    UnknownFormat,    // not a capture file of a format we read
    Unreadable,       // any other failure to open: an I/O error, a directory, a bad header
    Damaged,          // a file ends inside a record or holds a corrupt one; the records before were good
    UnsupportedLink,  // no link layer decodes the capture's link type
    DeviceFailure,    // a live device failed while it was read
    FilterUnfit,      // the filter does not compile for this capture's link type
    OtherProcess,     // the capture was opened in another process, before fork()
    BadTimestamp,     // a frame's time stamp has no local date and time (dates are written per frame)
};

struct CaptureError {
    ErrorKind kind = ErrorKind::None;
    std::string subject;    // the file or device, as its messages name it
    std::string text;       // libpcap's text (or ours in its style), as its error buffer holds it
    int error_number = 0;   // errno of the failure; 0 where there is none

    explicit operator bool() const noexcept { return kind != ErrorKind::None; }

    // The text without the "subject: " libpcap often starts it with, for messages that name the
    // subject themselves.
    std::string_view reason() const noexcept {
        std::string_view full = text;
        if (!subject.empty() && full.size() > subject.size() + 1 && full.starts_with(subject) &&
            full.substr(subject.size(), 2) == ": ") {
            full.remove_prefix(subject.size() + 2);
        }
        return full;
    }
};

}  // namespace varnel
