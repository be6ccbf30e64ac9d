#include "frame_reader.hpp"

#include <cerrno>
#include <cstdio>
#include <string>

namespace varnel {

// Opens with the lock released. An open cut short by a signal (EINTR) runs the signal's handler
// and, unless it raised, tries again.
template <class Open>
bool FrameReader::open_with(Open&& open) {
    for (;;) {
        bool opened = false;
        Py_BEGIN_ALLOW_THREADS
        opened = open(loop_.source());
        Py_END_ALLOW_THREADS
        if (opened) return true;
        if (loop_.source().failure_errno() != EINTR) break;
        if (PyErr_CheckSignals() < 0) return false;
    }
    raise_with_pcap_text(PyExc_RuntimeError, messages_.open_failed, loop_.source().error());
    return false;
}

bool FrameReader::open_file(const char* path, const packet_decoding::LinkOptions& link_options) {
    return open_with([path](Source& source) { return source.open_file(path); }) && bind_file(link_options);
}

bool FrameReader::open_live(const char* device, const LiveOptions& options,
                            const packet_decoding::LinkOptions& link_options) {
    return open_with([device, &options](Source& source) { return source.open_live(device, options); }) &&
           bind_live(link_options);
}

std::string FrameReader::unsupported_link_text() const {
    int link_type = loop_.source().link_type();
    const char* link_name = pcap_datalink_val_to_name(link_type);
    char text[160];
    std::snprintf(text, sizeof text, "link-layer type %s (%d) is not Ethernet; no frame can be decoded",
                  link_name ? link_name : "unknown", link_type);
    return text;
}

bool FrameReader::bind_file(const packet_decoding::LinkOptions& link_options) {
    if (loop_.bind(link_options)) return true;
    // The file still opens: it yields nothing, with a warning saying why.
    if (warn_with_pcap_text(messages_.read_failed, unsupported_link_text().c_str())) return true;
    close();
    return false;
}

bool FrameReader::bind_live(const packet_decoding::LinkOptions& link_options) {
    if (loop_.bind(link_options)) return true;
    std::string text = unsupported_link_text();
    close();
    raise_with_pcap_text(PyExc_RuntimeError, messages_.open_failed, text.c_str());
    return false;
}

FrameReader::Step FrameReader::next(PacketRecord& rec) {
    for (;;) {
        switch (loop_.next(rec)) {
            case Outcome::Frame: return Step::Frame;
            case Outcome::End: return Step::End;
            case Outcome::Checkpoint:
                // Let other threads in now and then during long native runs, and Ctrl+C through.
                Py_BEGIN_ALLOW_THREADS
                Py_END_ALLOW_THREADS
                if (PyErr_CheckSignals() < 0) return Step::Error;
                break;
            case Outcome::Idle:
                if (wait_for_frames() == Step::Error) return Step::Error;
                break;
            case Outcome::Damaged:
                // The frames before the damage were good; keep them and say why the file ended early.
                return warn_with_pcap_text(messages_.read_failed, loop_.source().error()) ? Step::End : Step::Error;
            case Outcome::Failed:
                raise_with_pcap_text(PyExc_RuntimeError, messages_.read_failed, loop_.source().error());
                return Step::Error;
        }
    }
}

// Other threads run during the wait; a generator stays marked as running.
FrameReader::Step FrameReader::wait_for_frames() {
    Source& source = loop_.source();
    Py_BEGIN_ALLOW_THREADS
    source.wait(kWaitSliceMs);
    Py_END_ALLOW_THREADS
    return PyErr_CheckSignals() < 0 ? Step::Error : Step::Frame;
}

PyObject* FrameReader::read_position() const {
    long long position = loop_.source().position();
    return position < 0 ? nullptr : PyLong_FromLongLong(position);
}

}  // namespace varnel
