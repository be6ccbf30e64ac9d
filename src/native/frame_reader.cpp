#include "frame_reader.hpp"

#include "lock_released.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string>
#include <utility>

namespace varnel {
namespace {

// The texts the packet and the feature functions put before libpcap's own.
struct Prefixes {
    const char* open_file;
    const char* read_file;
    const char* open_device;
    const char* read_device;
};
constexpr Prefixes kEnglish{"Could not open file: ", "Could not read file: ", "Could not open device: ",
                            "Could not read from device: "};
constexpr Prefixes kVietnamese{"Lỗi mở file PCAP: ", "Lỗi đọc file PCAP: ", "Lỗi mở card mạng: ",
                               "Lỗi đọc card mạng: "};

// A long run of frames that give no item (skipped, or not IP) goes on with the lock released for
// this many checkpoints at a time, so that other threads run; signals are looked at in between.
constexpr int kSkipSlices = 64;

const Prefixes& prefixes_of(Wording wording) { return wording == Wording::Vietnamese ? kVietnamese : kEnglish; }

// As the interpreter's own open() raises it: errno, the reason, the file.
PyObject* raise_os_error(PyObject* type, const CaptureError& error) {
    Ref detail = pcap_text(std::string(error.reason()).c_str());
    Ref subject = Ref::steal(PyUnicode_DecodeFSDefault(error.subject.c_str()));
    if (!detail || !subject) return nullptr;
    Ref arguments = Ref::steal(Py_BuildValue("(iOO)", error.error_number, detail.get(), subject.get()));
    if (arguments) PyErr_SetObject(type, arguments.get());
    return nullptr;
}

PyObject* raise_named(const CaptureError& error) {
    const std::string prefix = error.subject + ": ";
    const std::string reason(error.reason());
    switch (error.kind) {
        case ErrorKind::NotFound: return raise_os_error(PyExc_FileNotFoundError, error);
        case ErrorKind::Permission: return raise_os_error(PyExc_PermissionError, error);
        case ErrorKind::FilterUnfit:
            return raise_with_pcap_text(PyExc_ValueError, prefix.c_str(),
                                        ("the filter cannot be applied to this capture: " + error.text).c_str());
        default: return raise_with_pcap_text(PyExc_RuntimeError, prefix.c_str(), reason.c_str());
    }
}

}  // namespace

PyObject* raise_capture_error(const CaptureError& error, Wording wording, bool live) {
    if (error.kind == ErrorKind::OtherProcess) {
        PyErr_SetString(PyExc_RuntimeError, error.text.c_str());
        return nullptr;
    }
    if (wording == Wording::Named) return raise_named(error);
    const Prefixes& prefixes = prefixes_of(wording);
    const char* prefix = error.kind == ErrorKind::DeviceFailure ? prefixes.read_device
                         : live                                 ? prefixes.open_device
                                                                : prefixes.open_file;
    return raise_with_pcap_text(PyExc_RuntimeError, prefix, error.text.c_str());
}

bool warn_capture_problem(const CaptureError& problem, Wording wording) {
    if (wording == Wording::Named) {
        return warn_with_pcap_text((problem.subject + ": ").c_str(), std::string(problem.reason()).c_str());
    }
    return warn_with_pcap_text(prefixes_of(wording).read_file, problem.text.c_str());
}

PyObject* capture_stats_dict(const ReaderStats& stats) {
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

FrameReader::FrameReader(std::vector<CaptureInput> inputs, ReaderSettings settings, Wording wording,
                         const std::vector<PyObject*>& objects)
    : core_(std::move(inputs), std::move(settings)), wording_(wording) {
    std::transform(objects.begin(), objects.end(), std::back_inserter(objects_), Ref::borrow);
}

FrameReader::Step FrameReader::next(PacketRecord& rec) {
    ReadEvent event = next_event(rec);
    for (;;) {
        switch (event) {
            case ReadEvent::Frame: return Step::Frame;
            case ReadEvent::InputEnd: return Step::InputEnd;
            case ReadEvent::End: return Step::End;
            case ReadEvent::Failed:
            case ReadEvent::Skipped: raise_capture_error(core_.error(), wording_, core_.is_live()); return Step::Error;
            case ReadEvent::Warning:
                // The frames before the damage were good: keep them and say why the file ended early.
                if (!warn_capture_problem(core_.warning(), wording_)) return Step::Error;
                break;
            case ReadEvent::NeedsDescriptor:
                if (!give_descriptor()) return Step::Error;
                break;
            case ReadEvent::Checkpoint:
                event = skip_released(rec);
                if (PyErr_CheckSignals() < 0) return Step::Error;
                if (event != ReadEvent::Checkpoint) continue;  // what ended the run is handled above
                break;
            case ReadEvent::Idle:
            case ReadEvent::WaitingForData:
            case ReadEvent::Interrupted:
                if (!wait_released(event)) return Step::Error;
                if (event == ReadEvent::Idle && report_idle_) return Step::Idle;
                break;
        }
        event = next_event(rec);
    }
}

bool FrameReader::open_first() {
    for (;;) {
        const ReadEvent event = open_released();
        switch (event) {
            case ReadEvent::Frame:
            case ReadEvent::End: return true;
            // Opened, of a link type no row decodes: it yields nothing, with a warning saying why.
            case ReadEvent::Warning: return warn_capture_problem(core_.warning(), wording_);
            case ReadEvent::Failed:
            case ReadEvent::Skipped: raise_capture_error(core_.error(), wording_, core_.is_live()); return false;
            case ReadEvent::NeedsDescriptor:
                if (!give_descriptor()) return false;
                break;
            default:
                if (!wait_released(event)) return false;
                break;
        }
    }
}

// Opening may block (a slow disk, a FIFO's first bytes), and so may reading a pipe, whose writer may
// be another thread of this process: neither holds the lock.
ReadEvent FrameReader::next_event(PacketRecord& rec) {
    if (core_.is_open() && !core_.may_block()) return core_.next(rec);
    core_.publish();
    LockReleased unlocked;
    return core_.next(rec);
}

ReadEvent FrameReader::open_released() {
    LockReleased unlocked;
    return core_.open_next();
}

// After a checkpoint the frames since the last item may be a long run that gives none (a file of
// skipped frames): it goes on with the lock released, so that other threads run. Releasing the lock
// only for a moment would not do: a waiting thread cannot take it that fast, and would starve.
ReadEvent FrameReader::skip_released(PacketRecord& rec) {
    core_.publish();
    LockReleased unlocked;
    ReadEvent event = ReadEvent::Checkpoint;
    for (int slices = 0; event == ReadEvent::Checkpoint && slices < kSkipSlices; ++slices) event = core_.next(rec);
    return event;
}

// Other threads run during a wait; a generator stays marked as running.
bool FrameReader::wait_released(ReadEvent event) {
    core_.publish();
    {
        LockReleased unlocked;
        if (event != ReadEvent::Interrupted) core_.wait(kWaitSliceMs);
    }
    return PyErr_CheckSignals() >= 0;
}

// An open file or standard input: read from a copy of its descriptor, which closing the stream
// closes, while the caller's stays open.
bool FrameReader::give_descriptor() {
    const size_t index = core_.next_input_index();
    PyObject* object = index < objects_.size() ? objects_[index].get() : nullptr;
    if (object == nullptr) {
        PyErr_SetString(PyExc_SystemError, "no file object for a descriptor input");
        return false;
    }
    int descriptor = PyObject_AsFileDescriptor(object);
    if (descriptor < 0) return false;
    int copy = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    core_.give_descriptor(copy);
    return true;
}

PyObject* FrameReader::read_position() const {
    long long position = core_.position();
    return position < 0 ? nullptr : PyLong_FromLongLong(position);
}

int FrameReader::traverse(visitproc visit, void* arg) const {
    for (const Ref& object : objects_) Py_VISIT(object.get());
    return 0;
}

}  // namespace varnel
