// The one capture reader under every output: a list of inputs (files by path or descriptor, byte
// ranges of a file, a live device) read in order through one frame loop, with the filter, the link
// layer of each input, damage kept as a warning, the statistics and the fork check. It never calls
// into the interpreter: what it meets comes back as an event, and whatever waits (a FIFO's writer,
// an idle device, an open cut short by a signal) is left to the caller, who may check for signals
// in between or run the whole read with the interpreter lock released.
#pragma once

#include "frame_loop.hpp"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace varnel {

struct CaptureInput {
    enum class Kind : uint8_t { Path, Descriptor, Range, Device };
    Kind kind = Kind::Path;
    std::string location;  // the path or device name, as it is opened
    std::string name;      // what messages call it
    int descriptor = -1;   // Descriptor: the reader's own copy, given when it asks (NeedsDescriptor)
    uint64_t start = 0;    // Range: the offsets of its first record and of the end of its last
    uint64_t stop = 0;
};

struct ReaderSettings {
    packet_decoding::LinkOptions link{};
    std::string filter;  // a filter expression, checked beforehand; empty for every frame
    LiveOptions live{};
    // A file that cannot be opened is skipped (Skipped, then the next input) instead of ending the
    // read; what cannot be read of a device still ends it.
    bool keep_going = false;
    FrameDecode decode = FrameDecode::Packet;
};

enum class ReadEvent : uint8_t {
    Frame,             // the record holds a decoded IPv4 or IPv6 frame
    InputEnd,          // an input was read to its end (or its damage); the next one follows
    End,               // every input has been read
    Warning,           // warning(): a file damaged part-way (its frames before were kept; the input
                       // ends), or of a link type no row decodes (read, counted, never decoded)
    Failed,            // error(): the read cannot go on — an input could not be opened, a device failed
    Skipped,           // error(): with keep_going, a file could not be opened; the next input follows
    Checkpoint,        // another batch of frames was read: a moment to check signals
    Idle,              // live: nothing to read yet; wait(), then ask again
    WaitingForData,    // the input being opened has no bytes yet (a FIFO without a writer, a quiet pipe):
                       // wait(), then ask again
    Interrupted,       // an open was cut short by a signal (EINTR): ask again to retry it
    NeedsDescriptor,   // the next input is an open file of the caller's: give_descriptor(), then ask again
};

// What a read has met so far, all inputs together, and libpcap's counters of a live device.
struct ReaderStats {
    FrameCounts counts;
    uint64_t inputs_read = 0;  // inputs read to their end or their damage
    uint64_t bytes_read = 0;   // of the files read so far, the current one's up to where it is
    pcap_stat kernel{};
    bool has_kernel = false;  // kernel holds a reading
};

// Bumped in a child process after fork(): a capture opened before the fork shares its file offset
// or socket with the parent, and both would read wrong data.
unsigned process_generation() noexcept;

class CaptureReader {
public:
    CaptureReader(std::vector<CaptureInput> inputs, ReaderSettings settings);
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;
    ~CaptureReader() { stop(); }

    // The next event; a Frame is decoded into `rec`, or with FrameDecode::NetworkStart only
    // located: packet() says where.
    ReadEvent next(PacketRecord& rec);
    const packet_decoding::NetworkPacket& packet() const noexcept { return loop_.packet(); }
    // Opens the next input now, as next() does first when none is open: Frame once it is open.
    ReadEvent open_next();

    const CaptureError& error() const noexcept { return error_; }
    const CaptureError& warning() const noexcept { return warning_; }
    // The input being read, or the one an event is about; null before the first.
    const CaptureInput* current_input() const noexcept;
    // Its place among the inputs (0 before the first).
    size_t current_index() const noexcept { return next_input_ > 0 ? next_input_ - 1 : 0; }
    bool is_open() const noexcept { return loop_.source().is_open(); }
    bool is_live() const noexcept { return !inputs_.empty() && inputs_[0].kind == CaptureInput::Kind::Device; }
    bool may_block() const noexcept { return loop_.source().may_block(); }
    // Whether inputs are still to be opened.
    bool inputs_left() const noexcept { return !stopped_ && next_input_ < inputs_.size(); }
    // The input open_next() opens next (the one NeedsDescriptor asks about).
    size_t next_input_index() const noexcept { return next_input_; }
    // Whether an input was ever opened.
    bool opened_any() const noexcept { return opened_any_; }

    void give_descriptor(int descriptor) noexcept;
    // Waits at most `timeout_ms` for frames or bytes to read (after Idle or WaitingForData), or
    // until a signal arrives.
    void wait(int timeout_ms) { loop_.source().wait(timeout_ms); }
    // Ends the input being read, as damage does, for a reason found past the reader (a frame's time
    // stamp with no local date): `why` becomes the warning.
    void end_input(ErrorKind kind, std::string text);
    // Takes a last reading of a device's counters, then closes the input being read.
    void close() noexcept;
    // Stops reading: what is open closes, and next() gives End from now on.
    void stop() noexcept;

    // Bytes of the current file read so far; -1 where that has no meaning.
    long long position() const noexcept { return loop_.source().position(); }
    // The statistics as of the last publish(). Safe from any thread; `running` says another thread
    // is inside next() (it published before it let go of the interpreter lock), so only what it
    // published is read, never the loop or the handle themselves.
    ReaderStats stats(bool running);
    void publish() noexcept;

private:
    ReadEvent open_input(CaptureInput& input);
    ReadEvent open_result(OpenResult result, CaptureInput& input);
    ReadEvent opened(CaptureInput& input);
    ReadEvent failed(const CaptureError& why);
    ReadEvent input_ended();
    bool opened_in_other_process() const noexcept { return process_generation_ != process_generation(); }

    std::vector<CaptureInput> inputs_;
    ReaderSettings settings_;
    FrameLoop loop_;
    size_t next_input_ = 0;        // the input to open next
    bool open_pending_ = false;    // the last input opened is waiting for its first bytes
    bool warning_pending_ = false;    // end_input() gave a warning to report before InputEnd
    bool input_end_pending_ = false;  // a warning ended the input: InputEnd comes next
    bool stopped_ = false;
    bool opened_any_ = false;
    uint64_t inputs_read_ = 0;
    uint64_t bytes_of_closed_inputs_ = 0;
    unsigned process_generation_ = 0;  // of the process that opened the capture
    CaptureError error_;
    CaptureError warning_;
    std::mutex stats_mutex_;  // guards published_ only
    ReaderStats published_;
};

}  // namespace varnel
