// The source of frames: a capture file (whole, or a byte range of one) read by our own reader, or a
// live device read through libpcap. Which of the two it is is decided once, when it opens, by the
// read operation it installs; nothing after that asks which kind it is. What goes wrong is said as
// a CaptureError.
#pragma once

#include "capture_error.hpp"
#include "capture_file.hpp"
#include "file_filter.hpp"

#include <pcap/pcap.h>

#include <cstdint>
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
    Frame,       // a frame is ready
    Idle,        // live: nothing ready yet; wait() before reading again
    WouldBlock,  // a pipe has no bytes yet; wait() before reading again
    Filtered,    // a frame the filter dropped: none to hand on, but one more read
    End,         // the file (or its byte range) ended
    Damaged,     // a file is damaged here; the frames before were good (error() says why)
    Failed,      // a live device failed (error() says why)
};

enum class OpenResult { Opened, Failed, Pending };  // Pending: a pipe or FIFO with no bytes yet

class Source {
public:
    // Each opener closes what is open first; Failed with error() set. `name` is what the error
    // names as its subject. A path may be "-", standard input.
    OpenResult open_path(const char* path, const std::string& name);
    OpenResult open_descriptor(int descriptor, const std::string& name);  // takes it over, also on failure
    // The records of a file from offset `start` up to `stop`, a piece split_points gave.
    OpenResult open_range(const char* path, uint64_t start, uint64_t stop, const std::string& name);
    // After Pending, once wait() said so.
    OpenResult resume_open();
    bool open_live(const char* device, const LiveOptions& options, const std::string& name);
    // Compiles the filter for the capture just opened and applies it from now on; false with error()
    // set (kind FilterUnfit).
    bool set_filter(const char* expression);

    bool is_open() const noexcept { return read_op_ != read_nothing; }
    // Reading may have to wait for bytes (a pipe, a FIFO, standard input from another program).
    bool may_block() const noexcept { return is_live() || file_.may_block(); }
    bool is_live() const noexcept { return read_op_ == read_device; }
    // The link type the capture opened with (a pcapng file: its first interface's).
    int link_type() const noexcept;
    // Why no frame of a capture of `type` can be decoded: its link type, by name and number.
    static std::string unsupported_link_text(int type);
    // The next frame, and the link type of the interface it was captured on.
    ReadResult read(const pcap_pkthdr** header, const u_char** frame, int* frame_link_type) {
        return read_op_(*this, header, frame, frame_link_type);
    }
    // Waits at most `timeout_ms` for frames (live) or bytes (a pipe), or until a signal arrives.
    void wait(int timeout_ms);
    // Bytes of a file consumed so far (compressed bytes for compressed input); -1 for a live
    // device or before a file opened.
    long long position() const noexcept;
    // libpcap's counters of an open live device; false for a file or a closed device.
    bool kernel_stats(pcap_stat* stats) const noexcept;
    void close() noexcept;

    const CaptureError& error() const noexcept { return error_; }

private:
    using ReadOp = ReadResult (*)(Source&, const pcap_pkthdr**, const u_char**, int*);
    static ReadResult read_file(Source& source, const pcap_pkthdr** header, const u_char** frame, int* link_type);
    static ReadResult read_device(Source& source, const pcap_pkthdr** header, const u_char** frame,
                                  int* link_type);
    static ReadResult read_nothing(Source&, const pcap_pkthdr**, const u_char**, int*) { return ReadResult::End; }

    void start_open(const std::string& name);
    OpenResult file_opened(FileOpen result);
    bool activate_live(pcap_t* handle, const char* device, const LiveOptions& options);
    bool prepare_live_wait();
    ReadResult device_failure();
    void fail(ErrorKind kind, const char* text, int error_number = 0);
    // Keeps a failure the file or the filter reported, under this source's name.
    void keep_error(const CaptureError& why);
    void fail_open(const char* text, int error_number);

    CaptureFile file_;
    FileRecord record_{};
    FileFilter filter_;
    bool filtered_ = false;
    PcapHandle handle_;
    ReadOp read_op_ = read_nothing;
    std::string name_;
    std::string device_;
    int device_fd_ = -1;  // live: becomes readable when frames are ready
    bool device_error_ = false;  // the last wait saw the descriptor report an error
    long long final_position_ = -1;
    CaptureError error_;
};

}  // namespace varnel
