#include "capture.hpp"

#include "args.hpp"

#include <poll.h>

#include <cstdio>
#include <cstring>

namespace varnel {
namespace {

// Native loops that skip frames must still let Ctrl+C through on huge files.
constexpr unsigned kFramesPerSignalCheck = 4096;

}  // namespace

Ref prefixed_message(const char* prefix, const char* text) {
    Ref detail = Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict"));
    if (!detail) return Ref();
    return Ref::steal(PyUnicode_FromFormat("%s%U", prefix, detail.get()));
}

PyObject* raise_with_pcap_text(PyObject* type, const char* prefix, const char* text) {
    Ref message = prefixed_message(prefix, text);
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

namespace {

bool warn_with_pcap_text(const char* prefix, const char* text) {
    Ref message = prefixed_message(prefix, text);
    return message && PyErr_WarnEx(PyExc_RuntimeWarning, PyUnicode_AsUTF8(message.get()), 1) == 0;
}

}  // namespace

bool Capture::open(const char* name) {
    errbuf_[0] = '\0';
    pcap_t* handle = kind_ == Kind::Live
                         ? pcap_open_live(name, kSnapshotLength, kPromiscuous, kReadTimeoutMs, errbuf_)
                         : pcap_open_offline(name, errbuf_);
    if (handle == nullptr) {
        raise_with_pcap_text(PyExc_RuntimeError, messages_.open_failed, errbuf_);
        return false;
    }
    handle_.reset(handle);
    frames_until_signal_check_ = kFramesPerSignalCheck;
    if (kind_ == Kind::Live && !prepare_live_wait()) return false;
    return check_link_type();
}

// On Linux libpcap's own wait for a frame blocks until one arrives, however long, and resumes
// after a signal: an idle device would never let Ctrl+C through. The handle is made non-blocking
// instead, and read_live waits on its descriptor for at most one read time-out.
bool Capture::prepare_live_wait() {
    device_fd_ = pcap_get_selectable_fd(handle_.get());
    if (device_fd_ < 0) std::snprintf(errbuf_, sizeof errbuf_, "device has no descriptor to wait on");
    if (device_fd_ < 0 || pcap_setnonblock(handle_.get(), 1, errbuf_) < 0) {
        raise_with_pcap_text(PyExc_RuntimeError, messages_.open_failed, errbuf_);
        close();
        return false;
    }
    return true;
}

bool Capture::open_source(PyObject* source) {
    const char* name = bytes_argument_as_name(source);
    return name != nullptr && open(name);
}

// The decoder reads Ethernet II frames only; anything else would come out as garbage fields.
bool Capture::check_link_type() {
    int link_type = pcap_datalink(handle_.get());
    if (link_type == DLT_EN10MB) return true;
    const char* link_name = pcap_datalink_val_to_name(link_type);
    char detail[128];
    std::snprintf(detail, sizeof detail, "link-layer type %s (%d) is not Ethernet; no frame can be decoded",
                  link_name ? link_name : "unknown", link_type);
    if (kind_ == Kind::Live) {
        close();
        raise_with_pcap_text(PyExc_RuntimeError, messages_.open_failed, detail);
        return false;
    }
    // A file still opens: it yields nothing, with a warning saying why.
    not_ethernet_ = true;
    return warn_with_pcap_text(messages_.read_failed, detail);
}

void Capture::close() noexcept {
    if (!handle_) return;
    if (kind_ == Kind::File) final_position_ = ftello(pcap_file(handle_.get()));
    handle_.reset();
}

// 1: a frame; 0: none within one read time-out, or a signal came; below 0: libpcap's error.
int Capture::read_live(const pcap_pkthdr** header, const u_char** frame) {
    pcap_t* handle = handle_.get();
    auto** header_out = const_cast<pcap_pkthdr**>(header);
    int result = pcap_next_ex(handle, header_out, frame);  // does not block
    if (result != 0) return result;
    pollfd device{device_fd_, POLLIN, 0};
    int ready = 0;
    // Other threads run during the wait; the generator stays marked as running.
    Py_BEGIN_ALLOW_THREADS
    ready = poll(&device, 1, kReadTimeoutMs);
    Py_END_ALLOW_THREADS
    if (ready <= 0) return 0;
    if (device.revents & (POLLERR | POLLHUP | POLLNVAL)) return read_device_failure(header_out, frame);
    return pcap_next_ex(handle, header_out, frame);
}

// libpcap tells what is wrong with a device (down, gone) only from a blocking read, which meets
// the same condition at once.
int Capture::read_device_failure(pcap_pkthdr** header, const u_char** frame) {
    pcap_t* handle = handle_.get();
    int result = 0;
    pcap_setnonblock(handle, 0, errbuf_);
    Py_BEGIN_ALLOW_THREADS
    result = pcap_next_ex(handle, header, frame);
    Py_END_ALLOW_THREADS
    pcap_setnonblock(handle, 1, errbuf_);
    return result;
}

Capture::Status Capture::read_frame(const pcap_pkthdr** header, const u_char** frame) {
    if (not_ethernet_) return Status::End;
    for (;;) {
        int result = kind_ == Kind::Live
                         ? read_live(header, frame)
                         : pcap_next_ex(handle_.get(), const_cast<pcap_pkthdr**>(header), frame);
        if (result == 1) {
            if (--frames_until_signal_check_ == 0) {
                frames_until_signal_check_ = kFramesPerSignalCheck;
                if (PyErr_CheckSignals() < 0) return Status::Error;
            }
            return Status::Frame;
        }
        if (result == 0) {  // live: nothing yet, or a signal cut the wait short
            if (PyErr_CheckSignals() < 0) return Status::Error;
            continue;
        }
        if (result == PCAP_ERROR_BREAK) return Status::End;
        return report_read_error();
    }
}

Capture::Status Capture::report_read_error() {
    const char* text = pcap_geterr(handle_.get());
    if (kind_ == Kind::Live) {
        raise_with_pcap_text(PyExc_RuntimeError, messages_.read_failed, text);
        return Status::Error;
    }
    // The frames before the damage were good; keep them and say why the file ended early.
    return warn_with_pcap_text(messages_.read_failed, text) ? Status::End : Status::Error;
}

PyObject* Capture::read_position() const {
    if (kind_ != Kind::File) return nullptr;
    long long position = handle_ ? ftello(pcap_file(handle_.get())) : final_position_;
    if (position < 0) return nullptr;
    return PyLong_FromLongLong(position);
}

}  // namespace varnel
