// The frame loop as the interpreter sees it: opening with the lock released, and each outcome of
// the loop turned into what a caller holding the lock expects — signal checks, a warning for a
// damaged file, an exception for a failed device.
#pragma once

#include "frame_loop.hpp"
#include "pcap_text.hpp"

#include <mutex>

namespace varnel {

// The texts a module puts before libpcap's own.
struct ReaderMessages {
    const char* open_failed;  // RuntimeError: the file or device cannot be opened
    const char* read_failed;  // a read failed: RuntimeWarning for a file, RuntimeError live
    // The file or device the messages name, when they name one: libpcap's reasons then lose the
    // leading "subject: " they often carry, and a failure to open whose cause is known raises
    // FileNotFoundError or PermissionError instead of RuntimeError.
    const char* subject = nullptr;
};

// Bumped in a child process after fork(): a capture opened before the fork shares its file offset
// or socket with the parent, and both would read wrong data.
unsigned process_generation() noexcept;

// How a capture is read, beyond where from.
struct StreamSettings {
    packet_decoding::LinkOptions link;
    const char* filter = nullptr;  // a filter expression, checked beforehand; null: every frame
};

// What a stream has read so far, and libpcap's counters of a live device.
struct CaptureStats {
    FrameCounts counts;
    pcap_stat kernel{};
    bool has_kernel = false;  // kernel holds a reading
};

// The statistics as a new dict: frames read, decoded and skipped by reason, then libpcap's
// received, dropped and if_dropped (None where no device reported them). Null with an exception set.
PyObject* capture_stats_dict(const CaptureStats& stats);

// Live captures wait for frames in slices this short, so that a signal is seen promptly whatever
// read time-out the device was opened with.
inline constexpr int kWaitSliceMs = 250;

class FrameReader {
public:
    enum class Step { Frame, End, Error };

    explicit FrameReader(const ReaderMessages& messages) noexcept : messages_(messages) {}

    // Each opener holds the lock at the call and releases it while libpcap opens (a FIFO without a
    // writer, a slow disk); false with an exception set. A file whose link type no row decodes
    // opens with a warning and yields nothing; such a device raises.
    bool open_file(const char* path, const StreamSettings& settings = {});
    bool open_descriptor(int descriptor, const StreamSettings& settings = {});  // takes the descriptor over
    bool open_live(const char* device, const LiveOptions& options = {}, const StreamSettings& settings = {});
    bool is_open() const noexcept { return loop_.source().is_open(); }
    // Takes a last reading of the device's counters, then closes.
    void close() noexcept;
    void set_messages(const ReaderMessages& messages) noexcept { messages_ = messages; }

    // The next decoded frame into `rec`; Error with an exception set.
    Step next(PacketRecord& rec);

    FrameLoop& loop() noexcept { return loop_; }
    // Bytes of the file read so far: a new int, or null (no exception) where that has no meaning.
    PyObject* read_position() const;

    // The counts so far. `running`: another thread is inside next() (it released the lock), so
    // only what it published before letting go is read, never the loop or the handle themselves.
    CaptureStats stats(bool running);

private:
    template <class Open>
    bool open_with(Open&& open, const StreamSettings& settings);
    void raise_open_failure();
    bool apply_filter(const char* filter);
    bool bind_file(const packet_decoding::LinkOptions& link_options);
    bool bind_live(const packet_decoding::LinkOptions& link_options);
    Step wait_for_frames();
    Outcome next_outcome(PacketRecord& rec);
    bool wait_for_writer(int descriptor);
    const char* reason(const char* text) const noexcept;
    void publish() noexcept;

    bool opened_in_other_process() const noexcept;

    ReaderMessages messages_;
    mutable FrameLoop loop_;
    unsigned process_generation_ = 0;  // of the process that opened the capture
    std::mutex stats_mutex_;  // guards published_ only; no interpreter object is touched under it
    CaptureStats published_;
};

}  // namespace varnel
