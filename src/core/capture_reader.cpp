#include "capture_reader.hpp"

#include <pthread.h>

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


}  // namespace

unsigned process_generation() noexcept { return forks_seen.load(std::memory_order_relaxed); }

CaptureReader::CaptureReader(std::vector<CaptureInput> inputs, ReaderSettings settings)
    : inputs_(std::move(inputs)), settings_(std::move(settings)), loop_(settings_.decode) {}

const CaptureInput* CaptureReader::current_input() const noexcept {
    return next_input_ > 0 ? &inputs_[next_input_ - 1] : nullptr;
}

ReadEvent CaptureReader::next(PacketRecord& rec) {
    if (std::exchange(warning_pending_, false)) return ReadEvent::Warning;
    if (input_end_pending_) return input_ended();
    if (!is_open()) {
        if (stopped_ || (next_input_ == inputs_.size() && !open_pending_)) return ReadEvent::End;
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
    if (open_pending_) return open_result(loop_.source().resume_open(), inputs_[next_input_ - 1]);
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
    switch (input.kind) {
        case CaptureInput::Kind::Path: return open_result(source.open_path(input.location.c_str(), input.name), input);
        case CaptureInput::Kind::Descriptor:
            return open_result(source.open_descriptor(std::exchange(input.descriptor, -1), input.name), input);
        case CaptureInput::Kind::Range:
            return open_result(source.open_range(input.location.c_str(), input.start, input.stop, input.name), input);
        case CaptureInput::Kind::Device:
            if (source.open_live(input.location.c_str(), settings_.live, input.name)) return opened(input);
            if (source.error().error_number == EINTR) return ReadEvent::Interrupted;
            return failed(source.error());
    }
    return ReadEvent::End;
}

// A FIFO opens without waiting for its writer, and a pipe without its first bytes: the wait is the
// caller's, in slices, instead of happening inside a blocking open.
ReadEvent CaptureReader::open_result(OpenResult result, CaptureInput& input) {
    open_pending_ = result == OpenResult::Pending;
    switch (result) {
        case OpenResult::Opened: return opened(input);
        case OpenResult::Pending: return ReadEvent::WaitingForData;
        case OpenResult::Failed: break;
    }
    if (loop_.source().error().error_number == EINTR) return ReadEvent::Interrupted;
    return failed(loop_.source().error());
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
    CaptureError why{ErrorKind::UnsupportedLink, input.name, Source::unsupported_link_text(source.link_type())};
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
    open_pending_ = false;
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
    const long long offset = loop_.source().position();
    if (loop_.source().is_open() && offset > 0) bytes_of_closed_inputs_ += static_cast<uint64_t>(offset);
    loop_.source().close();
}

void CaptureReader::stop() noexcept {
    close();
    stopped_ = true;
    warning_pending_ = false;
    input_end_pending_ = false;
    open_pending_ = false;
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
    const long long offset = loop_.source().is_open() ? loop_.source().position() : 0;
    published_.bytes_read = bytes_of_closed_inputs_ + static_cast<uint64_t>(std::max(offset, 0LL));
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
