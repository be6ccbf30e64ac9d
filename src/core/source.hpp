// The source of frames: one libpcap handle — a capture file, a byte range of one, or a live device.
// Whether it reads a file or a device is decided once, when it opens, by the read operation it
// installs; nothing after that asks which kind it is. What goes wrong is said as a CaptureError.
#pragma once

#include "capture_error.hpp"

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

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
    End,      // the file (or its byte range) ended
    Damaged,  // a file is damaged here; the frames before were good (error() says why)
    Failed,   // a live device failed (error() says why)
};

class Source {
public:
    // Each opener returns false with error() set; a source that is open is closed first. `name` is
    // what the error names as its subject.
    bool open_file(const char* path, const std::string& name);  // libpcap's own open ("-": standard input)
    // The first half of opening a file without blocking: a non-blocking descriptor of `path` (a
    // FIFO without a writer opens at once), or -1 with error() set. open_descriptor finishes.
    int open_path(const char* path, const std::string& name);
    bool open_descriptor(int descriptor, const std::string& name);  // takes the descriptor over, also on failure
    // The records of a classic pcap file from offset `start` up to `stop` (record boundaries), read
    // after the file's own header.
    bool open_range(const char* path, uint64_t start, uint64_t stop, const std::string& name);
    bool open_live(const char* device, const LiveOptions& options, const std::string& name);
    // Compiles and installs a filter expression; false with error() set (kind FilterUnfit).
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

    const CaptureError& error() const noexcept { return error_; }

private:
    using ReadOp = ReadResult (*)(Source&, const pcap_pkthdr**, const u_char**);
    static ReadResult read_file(Source& source, const pcap_pkthdr** header, const u_char** frame);
    static ReadResult read_range(Source& source, const pcap_pkthdr** header, const u_char** frame);
    static ReadResult read_device(Source& source, const pcap_pkthdr** header, const u_char** frame);
    static ReadResult read_nothing(Source&, const pcap_pkthdr**, const u_char**) { return ReadResult::End; }

    void start_open(const std::string& name);
    bool open_stream(FILE* stream);
    bool activate_live(pcap_t* handle, const char* device, const LiveOptions& options);
    bool prepare_live_wait();
    ReadResult device_failure();
    void fail(ErrorKind kind, const char* text, int error_number = 0);
    void fail_open(const char* text, int error_number);
    void opened_file(pcap_t* handle) noexcept;

    PcapHandle handle_;
    ReadOp read_op_ = read_nothing;
    std::string device_;
    int device_fd_ = -1;  // live: becomes readable when frames are ready
    bool device_error_ = false;  // the last wait saw the descriptor report an error
    bool may_block_ = false;
    long long range_stop_ = 0;  // a byte range: where its last record ends
    long long final_position_ = -1;
    CaptureError error_;
};

// Offsets of record boundaries that cut the classic pcap file at `path` into pieces of about
// `split_bytes` each, walking the record headers from the file header as libpcap reads them. A file
// the walk cannot follow exactly as libpcap does (pcapng, the modified formats, header versions
// before 2.4) gives no cut: it is read whole. A record longer than libpcap accepts stops the walk
// and leaves the rest of the file to the last piece. False with `error` set when the file cannot be
// read at all.
bool split_points(const char* path, uint64_t split_bytes, std::vector<uint64_t>* cuts, CaptureError* error);

}  // namespace varnel
