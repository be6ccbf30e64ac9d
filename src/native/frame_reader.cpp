#include "frame_reader.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace varnel {
namespace {

std::atomic<unsigned> forks_seen{0};

void count_fork_in_child() { forks_seen.fetch_add(1, std::memory_order_relaxed); }

// Registered when the module loads (each module has its own counter).
[[maybe_unused]] const int fork_handler_registered = pthread_atfork(nullptr, nullptr, count_fork_in_child);

}  // namespace

unsigned process_generation() noexcept { return forks_seen.load(std::memory_order_relaxed); }

bool FrameReader::opened_in_other_process() const noexcept { return process_generation_ != process_generation(); }

// Opens with the lock released. An open cut short by a signal (EINTR) runs the signal's handler
// and, unless it raised, tries again.
template <class Open>
bool FrameReader::open_with(Open&& open, const StreamSettings& settings) {
    for (;;) {
        bool opened = false;
        Py_BEGIN_ALLOW_THREADS
        opened = open(loop_.source());
        Py_END_ALLOW_THREADS
        process_generation_ = process_generation();
        if (opened) return settings.filter == nullptr || apply_filter(settings.filter);
        if (loop_.source().failure_errno() != EINTR) break;
        if (PyErr_CheckSignals() < 0) return false;
    }
    raise_open_failure();
    return false;
}

// libpcap often starts its reason with the file or device name, which a message naming its
// subject already gives.
const char* FrameReader::reason(const char* text) const noexcept {
    const char* subject = messages_.subject;
    if (subject == nullptr) return text;
    size_t length = std::strlen(subject);
    if (std::strncmp(text, subject, length) == 0 && text[length] == ':' && text[length + 1] == ' ') {
        return text + length + 2;
    }
    return text;
}

void FrameReader::raise_open_failure() {
    const char* text = reason(loop_.source().error());
    int error_number = loop_.source().failure_errno();
    PyObject* type = nullptr;
    if (messages_.subject != nullptr) {
        if (error_number == ENOENT) type = PyExc_FileNotFoundError;
        if (error_number == EACCES || error_number == EPERM) type = PyExc_PermissionError;
    }
    if (type == nullptr) {
        raise_with_pcap_text(PyExc_RuntimeError, messages_.open_failed, text);
        return;
    }
    // As the interpreter's own open() raises it: errno, the reason, the file.
    Ref detail = pcap_text(text);
    Ref subject = Ref::steal(PyUnicode_DecodeFSDefault(messages_.subject));
    if (!detail || !subject) return;
    Ref arguments = Ref::steal(Py_BuildValue("(iOO)", error_number, detail.get(), subject.get()));
    if (arguments) PyErr_SetObject(type, arguments.get());
}

bool FrameReader::apply_filter(const char* filter) {
    if (loop_.source().set_filter(filter)) return true;
    std::string text = std::string("the filter cannot be applied to this capture: ") + loop_.source().error();
    close();
    raise_with_pcap_text(PyExc_ValueError, messages_.open_failed, text.c_str());
    return false;
}

// A FIFO opens without a writer only in non-blocking mode; the wait for one is made here, in
// slices, with the lock released and signals seen, instead of inside a blocking open.
bool FrameReader::open_file(const char* path, const StreamSettings& settings) {
    if (std::strcmp(path, "-") == 0) {  // libpcap's name for standard input
        return open_with([path](Source& source) { return source.open_file(path); }, settings) &&
               bind_file(settings.link);
    }
    int descriptor = -1;
    auto open_path = [path, &descriptor](Source& source) { return (descriptor = source.open_path(path)) >= 0; };
    if (!open_with(open_path, StreamSettings{})) return false;
    if (!wait_for_writer(descriptor)) {
        ::close(descriptor);
        return false;
    }
    return open_descriptor(descriptor, settings);
}

// Until a writer has written, poll reports a FIFO as hung up (no writer yet) or as not ready;
// either way the wait goes on, in short slices.
bool FrameReader::wait_for_writer(int descriptor) {
    struct stat status {};
    if (fstat(descriptor, &status) < 0 || !S_ISFIFO(status.st_mode)) return true;
    constexpr int kNoWriterPauseMs = 20;
    for (;;) {
        pollfd fifo{descriptor, POLLIN, 0};
        int ready = 0;
        Py_BEGIN_ALLOW_THREADS
        ready = poll(&fifo, 1, kWaitSliceMs);
        if (ready > 0 && (fifo.revents & POLLIN) == 0) poll(nullptr, 0, kNoWriterPauseMs);
        Py_END_ALLOW_THREADS
        if (ready < 0 && errno != EINTR) return true;  // reading will report what is wrong
        if (ready > 0 && (fifo.revents & POLLIN) != 0) return true;
        if (PyErr_CheckSignals() < 0) return false;
    }
}

bool FrameReader::open_descriptor(int descriptor, const StreamSettings& settings) {
    return open_with([descriptor](Source& source) { return source.open_descriptor(descriptor); }, settings) &&
           bind_file(settings.link);
}

bool FrameReader::open_live(const char* device, const LiveOptions& options, const StreamSettings& settings) {
    return open_with([device, &options](Source& source) { return source.open_live(device, options); }, settings) &&
           bind_live(settings.link);
}

bool FrameReader::bind_file(const packet_decoding::LinkOptions& link_options) {
    if (loop_.bind(link_options)) return true;
    // The file still opens: it yields nothing, with a warning saying why.
    if (warn_with_pcap_text(messages_.read_failed, loop_.source().unsupported_link_text().c_str())) return true;
    close();
    return false;
}

bool FrameReader::bind_live(const packet_decoding::LinkOptions& link_options) {
    if (loop_.bind(link_options)) return true;
    std::string text = loop_.source().unsupported_link_text();
    close();
    raise_with_pcap_text(PyExc_RuntimeError, messages_.open_failed, text.c_str());
    return false;
}

void FrameReader::close() noexcept {
    publish();
    loop_.source().close();
}

// A read from a pipe may wait for its writer: the lock is let go meanwhile, since the writer may
// be another thread of this process.
Outcome FrameReader::next_outcome(PacketRecord& rec) {
    if (!loop_.source().may_block()) return loop_.next(rec);
    Outcome outcome = Outcome::End;
    Py_BEGIN_ALLOW_THREADS
    outcome = loop_.next(rec);
    Py_END_ALLOW_THREADS
    return outcome;
}

FrameReader::Step FrameReader::next(PacketRecord& rec) {
    if (opened_in_other_process()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the capture was opened in another process (before fork()); open it again in this one");
        return Step::Error;
    }
    for (;;) {
        switch (next_outcome(rec)) {
            case Outcome::Frame: return Step::Frame;
            case Outcome::End: return Step::End;
            case Outcome::Checkpoint:
                // Let other threads in now and then during long native runs, and Ctrl+C through.
                publish();
                Py_BEGIN_ALLOW_THREADS
                Py_END_ALLOW_THREADS
                if (PyErr_CheckSignals() < 0) return Step::Error;
                break;
            case Outcome::Idle:
                if (wait_for_frames() == Step::Error) return Step::Error;
                break;
            case Outcome::Damaged:
                // The frames before the damage were good; keep them and say why the file ended early.
                return warn_with_pcap_text(messages_.read_failed, reason(loop_.source().error())) ? Step::End
                                                                                                 : Step::Error;
            case Outcome::Failed:
                raise_with_pcap_text(PyExc_RuntimeError, messages_.read_failed, reason(loop_.source().error()));
                return Step::Error;
        }
    }
}

// Other threads run during the wait; a generator stays marked as running.
FrameReader::Step FrameReader::wait_for_frames() {
    Source& source = loop_.source();
    publish();
    Py_BEGIN_ALLOW_THREADS
    source.wait(kWaitSliceMs);
    Py_END_ALLOW_THREADS
    return PyErr_CheckSignals() < 0 ? Step::Error : Step::Frame;
}

PyObject* FrameReader::read_position() const {
    long long position = loop_.source().position();
    return position < 0 ? nullptr : PyLong_FromLongLong(position);
}

// Called by the thread that reads, before it lets go of the lock, and whenever nobody reads.
void FrameReader::publish() noexcept {
    pcap_stat kernel{};
    bool has_kernel = loop_.source().kernel_stats(&kernel);
    std::lock_guard<std::mutex> guard(stats_mutex_);
    published_.counts = loop_.counts();
    if (has_kernel) {
        published_.kernel = kernel;
        published_.has_kernel = true;
    }
}

CaptureStats FrameReader::stats(bool running) {
    if (!running) publish();
    std::lock_guard<std::mutex> guard(stats_mutex_);
    return published_;
}

PyObject* capture_stats_dict(const CaptureStats& stats) {
    const FrameCounts& counts = stats.counts;
    const std::pair<const char*, uint64_t> frames[] = {
        {"read", counts.read},           {"decoded", counts.decoded},       {"not_ip", counts.not_ip},
        {"vlan_tagged", counts.vlan_tagged}, {"too_short", counts.too_short},
        {"unsupported_link", counts.unsupported_link},
    };
    const std::pair<const char*, u_int> kernel[] = {
        {"received", stats.kernel.ps_recv}, {"dropped", stats.kernel.ps_drop}, {"if_dropped", stats.kernel.ps_ifdrop}};
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    for (const auto& [key, value] : frames) {
        Ref number = Ref::steal(PyLong_FromUnsignedLongLong(value));
        if (!number || PyDict_SetItemString(result.get(), key, number.get()) < 0) return nullptr;
    }
    for (const auto& [key, value] : kernel) {
        Ref number = stats.has_kernel ? Ref::steal(PyLong_FromUnsignedLong(value)) : Ref::borrow(Py_None);
        if (!number || PyDict_SetItemString(result.get(), key, number.get()) < 0) return nullptr;
    }
    return result.release();
}

}  // namespace varnel
