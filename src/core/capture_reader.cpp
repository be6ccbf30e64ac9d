#include "capture_reader.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

namespace varnel {
namespace {

std::atomic<unsigned> forks_seen{0};

void count_fork_in_child() { forks_seen.fetch_add(1, std::memory_order_relaxed); }

// Registered when the library loads (each extension module has its own copy and counter).
[[maybe_unused]] const int fork_handler_registered = pthread_atfork(nullptr, nullptr, count_fork_in_child);

bool is_fifo(int descriptor) {
    struct stat status {};
    return fstat(descriptor, &status) == 0 && S_ISFIFO(status.st_mode);
}

}  // namespace

unsigned process_generation() noexcept { return forks_seen.load(std::memory_order_relaxed); }

CaptureReader::CaptureReader(std::vector<CaptureInput> inputs, ReaderSettings settings)
    : inputs_(std::move(inputs)), settings_(std::move(settings)) {}

const CaptureInput* CaptureReader::current_input() const noexcept {
    return next_input_ > 0 ? &inputs_[next_input_ - 1] : nullptr;
}

ReadEvent CaptureReader::next(PacketRecord& rec) {
    if (std::exchange(warning_pending_, false)) return ReadEvent::Warning;
    if (input_end_pending_) return input_ended();
    if (!is_open()) {
        if (stopped_ || (next_input_ == inputs_.size() && pending_fifo_ < 0)) return ReadEvent::End;
        ReadEvent event = open_next();
        if (event != ReadEvent::Frame) return event;
    }
    if (opened_in_other_process()) {
        close();
        return failed({ErrorKind::OtherProcess, current_input()->name,
                       "the capture was opened in another process (before fork()); open it again in this one"});
    }
    switch (loop_.next(rec)) {
        case Outcome::Frame: return ReadEvent::Frame;
        case Outcome::Checkpoint: return ReadEvent::Checkpoint;
        case Outcome::Idle: return ReadEvent::Idle;
        case Outcome::End:
            close();
            return input_ended();
        case Outcome::Damaged:
            warning_ = loop_.source().error();
            close();
            input_end_pending_ = true;
            return ReadEvent::Warning;
        case Outcome::Failed: {
            CaptureError why = loop_.source().error();
            close();
            return failed(why);
        }
    }
    return ReadEvent::End;
}

ReadEvent CaptureReader::input_ended() {
    input_end_pending_ = false;
    ++inputs_read_;
    return ReadEvent::InputEnd;
}

ReadEvent CaptureReader::open_next() {
    if (pending_fifo_ >= 0) {
        pollfd fifo{pending_fifo_, POLLIN, 0};
        if (poll(&fifo, 1, 0) == 0 || (fifo.revents & POLLIN) == 0) return ReadEvent::WaitingForWriter;
        int descriptor = std::exchange(pending_fifo_, -1);
        CaptureInput& input = inputs_[next_input_ - 1];
        if (!loop_.source().open_descriptor(descriptor, input.name)) return failed(loop_.source().error());
        return opened(input);
    }
    if (next_input_ == inputs_.size()) return ReadEvent::End;
    CaptureInput& input = inputs_[next_input_];
    if (input.kind == CaptureInput::Kind::Descriptor && input.descriptor < 0) return ReadEvent::NeedsDescriptor;
    ++next_input_;
    ReadEvent event = open_input(input);
    if (event == ReadEvent::Interrupted) --next_input_;  // tried again at the next call
    return event;
}

ReadEvent CaptureReader::open_input(CaptureInput& input) {
    Source& source = loop_.source();
    bool opened_now = false;
    switch (input.kind) {
        case CaptureInput::Kind::Path: return open_path(input);
        case CaptureInput::Kind::Descriptor:
            opened_now = source.open_descriptor(std::exchange(input.descriptor, -1), input.name);
            break;
        case CaptureInput::Kind::Range:
            opened_now = source.open_range(input.location.c_str(), input.start, input.stop, input.name);
            break;
        case CaptureInput::Kind::Device:
            opened_now = source.open_live(input.location.c_str(), settings_.live, input.name);
            break;
    }
    if (!opened_now) {
        if (source.error().error_number == EINTR) return ReadEvent::Interrupted;
        return failed(source.error());
    }
    return opened(input);
}

// A FIFO opens without a writer only in non-blocking mode; the wait for one is left to the caller,
// in slices, instead of happening inside a blocking open. Standard input is libpcap's own "-".
ReadEvent CaptureReader::open_path(CaptureInput& input) {
    Source& source = loop_.source();
    if (input.location == "-") {
        if (source.open_file("-", input.name)) return opened(input);
        return source.error().error_number == EINTR ? ReadEvent::Interrupted : failed(source.error());
    }
    int descriptor = source.open_path(input.location.c_str(), input.name);
    if (descriptor < 0) return failed(source.error());
    if (is_fifo(descriptor)) {
        pending_fifo_ = descriptor;
        return open_next();
    }
    if (!source.open_descriptor(descriptor, input.name)) return failed(source.error());
    return opened(input);
}

bool CaptureReader::wait_for_writer(int timeout_ms) {
    if (pending_fifo_ < 0) return true;
    // Until a writer has written, poll reports a FIFO as hung up (no writer yet) or as not ready;
    // either way the wait goes on, in short slices.
    constexpr int kNoWriterPauseMs = 20;
    pollfd fifo{pending_fifo_, POLLIN, 0};
    int ready = poll(&fifo, 1, timeout_ms);
    if (ready > 0 && (fifo.revents & POLLIN) == 0) poll(nullptr, 0, kNoWriterPauseMs);
    if (ready < 0 && errno != EINTR) return true;  // reading will report what is wrong
    return ready > 0 && (fifo.revents & POLLIN) != 0;
}

ReadEvent CaptureReader::opened(CaptureInput& input) {
    Source& source = loop_.source();
    process_generation_ = process_generation();
    opened_any_ = true;
    if (!settings_.filter.empty() && !source.set_filter(settings_.filter.c_str())) {
        CaptureError why = source.error();
        close();
        return failed(why);
    }
    if (loop_.bind(settings_.link)) return ReadEvent::Frame;
    CaptureError why{ErrorKind::UnsupportedLink, input.name, source.unsupported_link_text()};
    if (source.is_live()) {
        close();
        return failed(why);
    }
    // The file still opens: its frames are read and counted, none is decoded.
    warning_ = std::move(why);
    return ReadEvent::Warning;
}

ReadEvent CaptureReader::failed(const CaptureError& why) {
    error_ = why;
    if (pending_fifo_ >= 0) ::close(std::exchange(pending_fifo_, -1));
    const bool an_open = !loop_.source().is_open() && why.kind != ErrorKind::DeviceFailure &&
                         why.kind != ErrorKind::OtherProcess;
    if (settings_.keep_going && an_open && !is_live()) return ReadEvent::Skipped;
    stopped_ = true;
    return ReadEvent::Failed;
}

void CaptureReader::give_descriptor(int descriptor) noexcept {
    if (next_input_ < inputs_.size()) inputs_[next_input_].descriptor = descriptor;
}

void CaptureReader::end_input(ErrorKind kind, std::string text) {
    const CaptureInput* input = current_input();
    warning_ = CaptureError{kind, input != nullptr ? input->name : std::string(), std::move(text)};
    close();
    warning_pending_ = true;
    input_end_pending_ = true;
}

void CaptureReader::close() noexcept {
    publish();
    const long long position = loop_.source().position();
    if (loop_.source().is_open() && position > 0) bytes_of_closed_inputs_ += static_cast<uint64_t>(position);
    loop_.source().close();
}

void CaptureReader::stop() noexcept {
    close();
    stopped_ = true;
    warning_pending_ = false;
    input_end_pending_ = false;
    if (pending_fifo_ >= 0) ::close(std::exchange(pending_fifo_, -1));
    for (CaptureInput& input : inputs_) {
        if (input.descriptor >= 0) ::close(std::exchange(input.descriptor, -1));
    }
}

// Called by the thread that reads, before it lets go of the lock, and whenever nobody reads.
void CaptureReader::publish() noexcept {
    pcap_stat kernel{};
    bool has_kernel = loop_.source().kernel_stats(&kernel);
    std::lock_guard<std::mutex> guard(stats_mutex_);
    published_.counts = loop_.counts();
    published_.inputs_read = inputs_read_;
    const long long position = loop_.source().is_open() ? loop_.source().position() : 0;
    published_.bytes_read = bytes_of_closed_inputs_ + static_cast<uint64_t>(std::max(position, 0LL));
    if (has_kernel) {
        published_.kernel = kernel;
        published_.has_kernel = true;
    }
}

ReaderStats CaptureReader::stats(bool running) {
    if (!running) publish();
    std::lock_guard<std::mutex> guard(stats_mutex_);
    return published_;
}

}  // namespace varnel
