// The capture reader as a caller holding the interpreter lock sees it: every wait (a FIFO's writer,
// an idle device, a pipe's writer, a long run of skipped frames, an open) happens with the lock
// released and ends with a look at signals, and every warning or failure the core reports becomes
// the warning or exception of the API reading it, in that API's words.
#pragma once

#include "capture_reader.hpp"
#include "pcap_text.hpp"

#include <memory>
#include <vector>

namespace varnel {

// Whose words a reader's messages are in.
enum class Wording : uint8_t {
    English,     // the packet functions: "Could not open file: " + libpcap's text, ...
    Vietnamese,  // the feature functions: "Lỗi mở file PCAP: " + libpcap's text, ...
    Named,       // the top-level streams: the file or device first, OSError subclasses where they fit
};

// Raises the exception `wording` gives for a read that cannot go on; always returns null.
PyObject* raise_capture_error(const CaptureError& error, Wording wording, bool live);
// Issues the RuntimeWarning `wording` gives for damage; false with an exception set (the warning
// was turned into an error, or memory ran out).
bool warn_capture_problem(const CaptureError& problem, Wording wording);

// Live captures wait for frames in slices this short, so that a signal is seen promptly whatever
// read time-out the device was opened with.
inline constexpr int kWaitSliceMs = 250;

// The statistics as a new dict: frames read, decoded and skipped by reason, then libpcap's
// received, dropped and if_dropped (None where no device reported them). Null with an exception set.
PyObject* capture_stats_dict(const ReaderStats& stats);

class FrameReader {
public:
    // Idle only when asked for (report_idle): a live device had nothing within a wait.
    enum class Step { Frame, InputEnd, End, Error, Idle };

    // `objects` holds, for each input of kind Descriptor, the object whose descriptor is copied when
    // that input opens (anything with fileno(), or an int); null for the others.
    FrameReader(std::vector<CaptureInput> inputs, ReaderSettings settings, Wording wording,
                const std::vector<PyObject*>& objects = {});

    // The next decoded frame into `rec`, or the end of an input, or the end; Error with an
    // exception set.
    Step next(PacketRecord& rec);
    // Opens the first input now (process_pcap opens at the call); false with an exception set.
    bool open_first();
    // Also hands back a wait of an idle device, for a sink whose state moves with the clock.
    void report_idle() noexcept { report_idle_ = true; }
    // Whether an input was ever opened: a run that never opened leaves its state untouched.
    bool opened_any() const noexcept { return core_.opened_any(); }
    void close() noexcept { core_.stop(); }

    CaptureReader& core() noexcept { return core_; }
    // Bytes of the file read so far: a new int, or null (no exception) where that has no meaning.
    PyObject* read_position() const;
    PyObject* stats(bool running) { return capture_stats_dict(core_.stats(running)); }
    int traverse(visitproc visit, void* arg) const;

private:
    ReadEvent next_event(PacketRecord& rec);
    ReadEvent open_released();
    ReadEvent skip_released(PacketRecord& rec);
    bool give_descriptor();
    bool wait_released(ReadEvent event);

    CaptureReader core_;
    Wording wording_;
    bool report_idle_ = false;
    std::vector<Ref> objects_;
};

}  // namespace varnel
