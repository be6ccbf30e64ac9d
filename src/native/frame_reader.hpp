// The frame loop as the interpreter sees it: opening with the lock released, and each outcome of
// the loop turned into what a caller holding the lock expects — signal checks, a warning for a
// damaged file, an exception for a failed device.
#pragma once

#include "frame_loop.hpp"

namespace varnel {

// The texts a module puts before libpcap's own.
struct ReaderMessages {
    const char* open_failed;  // RuntimeError: the file or device cannot be opened
    const char* read_failed;  // a read failed: RuntimeWarning for a file, RuntimeError live
};

// Bumped in a child process after fork(): a capture opened before the fork shares its file offset
// or socket with the parent, and both would read wrong data.
unsigned process_generation() noexcept;

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
    bool open_file(const char* path, const packet_decoding::LinkOptions& link_options = {});
    bool open_live(const char* device, const LiveOptions& options = {},
                   const packet_decoding::LinkOptions& link_options = {});
    bool is_open() const noexcept { return loop_.source().is_open(); }
    void close() noexcept { loop_.source().close(); }

    // The next decoded frame into `rec`; Error with an exception set.
    Step next(PacketRecord& rec);

    FrameLoop& loop() noexcept { return loop_; }
    // Bytes of the file read so far: a new int, or null (no exception) where that has no meaning.
    PyObject* read_position() const;

private:
    template <class Open>
    bool open_with(Open&& open);
    bool bind_file(const packet_decoding::LinkOptions& link_options);
    bool bind_live(const packet_decoding::LinkOptions& link_options);
    Step wait_for_frames();
    bool wait_for_writer(int descriptor);
    std::string unsupported_link_text() const;

    bool opened_in_other_process() const noexcept;

    ReaderMessages messages_;
    mutable FrameLoop loop_;
    unsigned process_generation_ = 0;  // of the process that opened the capture
};

}  // namespace varnel
