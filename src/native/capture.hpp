// libpcap capture handles as the package's streams use them: opened at the first advance,
// read frame by frame, closed on every way out.
#pragma once

#include "ref.hpp"

#include <pcap/pcap.h>

#include <memory>

namespace varnel {

struct PcapCloser {
    void operator()(pcap_t* handle) const noexcept { pcap_close(handle); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

// libpcap's error-buffer size wherever a call takes one.
inline constexpr int kErrbufSize = PCAP_ERRBUF_SIZE;
static_assert(kErrbufSize == 256);

// Capture parameters for live devices.
inline constexpr int kSnapshotLength = 65535;
inline constexpr int kPromiscuous = 1;
inline constexpr int kReadTimeoutMs = 1000;

// `prefix` followed by libpcap's `text` decoded as strict UTF-8; null with the decoding error set.
Ref prefixed_message(const char* prefix, const char* text);

// Raises `type` with `prefix` followed by libpcap's `text` decoded as strict UTF-8 (a text that is
// not UTF-8 raises the decoding error instead). Always returns null.
PyObject* raise_with_pcap_text(PyObject* type, const char* prefix, const char* text);

// The texts a module puts before libpcap's own.
struct CaptureMessages {
    const char* open_failed;  // opening failed, or the link type is not Ethernet: RuntimeError
    const char* read_failed;  // a read failed: RuntimeError live, RuntimeWarning for a file
};

class Capture {
public:
    enum class Kind { File, Live };
    enum class Status { Frame, End, Error };

    Capture(Kind kind, const CaptureMessages& messages) noexcept : kind_(kind), messages_(messages) {}

    // Opens `name` (a path or a device). False with an exception set.
    bool open(const char* name);
    // Opens the capture a bytes argument names, after its run-time checks (None, embedded NUL).
    // False with an exception set.
    bool open_source(PyObject* source);
    bool is_open() const noexcept { return handle_ != nullptr; }
    void close() noexcept;

    // Reads frames until `accept(header, frame)` takes one (Frame), the file ends (End), or a read
    // fails or a signal handler raises (Error, exception set). A damaged file ends with a
    // RuntimeWarning after the frames before the damage.
    template <class Accept>
    Status next(Accept&& accept) {
        const pcap_pkthdr* header = nullptr;
        const u_char* frame = nullptr;
        for (;;) {
            Status status = read_frame(&header, &frame);
            if (status != Status::Frame) return status;
            if (accept(*header, frame)) return Status::Frame;
        }
    }

    // Bytes of the file consumed so far: a new int, or null (no exception) for a live capture
    // or a file not yet opened.
    PyObject* read_position() const;

private:
    Status read_frame(const pcap_pkthdr** header, const u_char** frame);
    int read_live(const pcap_pkthdr** header, const u_char** frame);
    int read_device_failure(pcap_pkthdr** header, const u_char** frame);
    bool prepare_live_wait();
    Status report_read_error();
    bool check_link_type();

    Kind kind_;
    CaptureMessages messages_;
    PcapHandle handle_;
    bool not_ethernet_ = false;
    int device_fd_ = -1;  // live: the descriptor that becomes readable when frames are ready
    unsigned frames_until_signal_check_ = 0;
    long long final_position_ = -1;
    char errbuf_[kErrbufSize] = {};
};

}  // namespace varnel

#include "generator.hpp"

namespace varnel {

// A generator body reading one capture: opened at the first advance (never at the call), closed
// when the stream finishes by any path.
class CaptureStream : public GeneratorBody {
public:
    CaptureStream(PyObject* source, Capture::Kind kind, const CaptureMessages& messages) noexcept
        : source_(Ref::borrow(source)), capture_(kind, messages) {}

    void finish() noexcept override { capture_.close(); }
    PyObject* read_position() override { return capture_.read_position(); }

protected:
    // Opens the capture on the first call; false with an exception set.
    bool ensure_open() {
        if (opened_) return true;
        opened_ = true;
        return capture_.open_source(source_.get());
    }

    Ref source_;  // the bytes argument (or None), held for the stream's life
    Capture capture_;

private:
    bool opened_ = false;
};

}  // namespace varnel
