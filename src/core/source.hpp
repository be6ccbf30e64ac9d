// The source of frames: one libpcap handle, a capture file or a live device. Whether it reads a
// file or a device is decided once, when it opens, by the read operation it installs; nothing
// after that asks which kind it is. No interpreter object is touched here, so callers may run it
// with the interpreter lock released.
#pragma once

#include "capture_error.hpp"

#include <pcap/pcap.h>

#include <memory>
#include <string>

namespace varnel {

struct PcapCloser {
    void operator()(pcap_t* handle) const noexcept { pcap_close(handle); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

// How a live device is opened; the defaults are the fixed settings of the packet and feature
// generators.
struct LiveOptions {
    int snapshot_length = 65535;
    bool promiscuous = true;
    int timeout_ms = 1000;
    int buffer_size = 0;  // bytes of kernel buffer; 0 keeps libpcap's default
    bool immediate = false;
};

enum class ReadResult {
    Frame,    // a frame is ready
    Idle,     // live: nothing ready yet; wait() before reading again
    End,      // the file ended, or the read was broken off
    Damaged,  // a file is damaged here; the frames before were good (reason in error())
    Failed,   // a live device failed (reason in error())
};

class Source {
public:
    // Each opener returns false with libpcap's reason in error() and the errno of the failure in
    // failure_errno(); a source that is open is closed first.
    bool open_file(const char* path);  // blocks on a FIFO until a writer comes: see open_path
    bool open_descriptor(int descriptor);  // takes the descriptor over, also on failure
    // The first half of opening a file without blocking: a non-blocking descriptor of `path` (a
    // FIFO without a writer opens at once), or -1 with the reason set. open_descriptor finishes.
    int open_path(const char* path);
    bool open_live(const char* device, const LiveOptions& options);
    // Compiles and installs a filter expression; false with libpcap's reason in error().
    bool set_filter(const char* expression);

    bool is_open() const noexcept { return handle_ != nullptr; }
    // A file that is not a regular one (a pipe, a FIFO, standard input from another program): a
    // read may wait for its writer.
    bool may_block() const noexcept { return may_block_; }
    bool is_live() const noexcept { return read_op_ == read_device; }
    int link_type() const noexcept { return pcap_datalink(handle_.get()); }
    // Why no frame of this capture can be decoded: its link type, by name and number.
    std::string unsupported_link_text() const;
    ReadResult read(const pcap_pkthdr** header, const u_char** frame) { return read_op_(*this, header, frame); }
    // Live: waits at most `timeout_ms` for frames to read, or until a signal arrives.
    void wait(int timeout_ms);
    // Bytes of a file consumed so far; -1 for a live device or before the file opened.
    long long position() const noexcept;
    // libpcap's counters of an open live device; false for a file or a closed device.
    bool kernel_stats(pcap_stat* stats) const noexcept;
    void close() noexcept;

    const char* error() const noexcept { return errbuf_; }
    int failure_errno() const noexcept { return failure_errno_; }

private:
    using ReadOp = ReadResult (*)(Source&, const pcap_pkthdr**, const u_char**);
    static ReadResult read_file(Source& source, const pcap_pkthdr** header, const u_char** frame);
    static ReadResult read_device(Source& source, const pcap_pkthdr** header, const u_char** frame);
    static ReadResult read_nothing(Source&, const pcap_pkthdr**, const u_char**) { return ReadResult::End; }

    bool activate_live(pcap_t* handle, const char* device, const LiveOptions& options);
    bool prepare_live_wait();
    ReadResult device_failure();
    void fail(const char* reason) noexcept;
    void opened_file(pcap_t* handle) noexcept;

    PcapHandle handle_;
    ReadOp read_op_ = read_nothing;
    std::string device_;
    int device_fd_ = -1;  // live: becomes readable when frames are ready
    bool device_error_ = false;  // the last wait saw the descriptor report an error
    bool may_block_ = false;
    long long final_position_ = -1;
    int failure_errno_ = 0;
    char errbuf_[kErrbufSize] = {};
};

}  // namespace varnel
