#include "connection_stream.hpp"

#include <utility>

namespace varnel {

ConnectionStream::ConnectionStream(std::unique_ptr<FrameReader> reader,
                                   std::unique_ptr<connections::ConnectionFeed> feed)
    : reader_(std::move(reader)), feed_(std::move(feed)), dicts_(feed_->services().names()) {
    reader_->report_idle();
}

PyObject* ConnectionStream::next_item() {
    for (;;) {
        if (const connections::ConnectionRecord* record = feed_->next()) return dicts_(*record);
        if (ended_) {
            if (failure_) PyErr_SetRaisedException(failure_.release());
            return nullptr;
        }
        if (!read_until_records()) return nullptr;
    }
}

// Reads frames until records are ready or the read ends; false with an exception set.
bool ConnectionStream::read_until_records() {
    while (!feed_->busy() && !ended_) {
        switch (reader_->next(rec_)) {
            case FrameReader::Step::Frame:
                feed_->take(reader_->core().packet(), static_cast<uint32_t>(reader_->core().current_index()));
                break;
            case FrameReader::Step::InputEnd: feed_->input_ended(); break;
            case FrameReader::Step::Idle: feed_->idle(connections::wall_clock_us()); break;
            case FrameReader::Step::End: end_read(); break;
            case FrameReader::Step::Error:
                // Ctrl+C and the like stop at once; a failure of the capture first lets the
                // connections seen so far end, as at the end of a capture.
                if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
                failure_ = Ref::steal(PyErr_GetRaisedException());
                end_read();
                break;
        }
    }
    return true;
}

void ConnectionStream::end_read() {
    feed_->read_ended();
    ended_ = true;
}

PyObject* ConnectionStream::stats(bool running) {
    Ref result = Ref::steal(reader_->stats(running));
    if (!result || !add_connection_stats(result.get(), feed_->stats())) return nullptr;
    return result.release();
}

int ConnectionStream::traverse(visitproc visit, void* arg) {
    Py_VISIT(failure_.get());
    return reader_->traverse(visit, arg);
}

bool add_connection_stats(PyObject* stats, const connections::ConnectionStats& counts) {
    const std::pair<const char*, uint64_t> values[] = {
        {"connections", counts.connections},
        {"open_connections", counts.open_connections},
        {"evicted", counts.evicted},
        {"other_protocol", counts.other_protocol},
        {"unattributed_fragments", counts.unattributed_fragments},
    };
    for (const auto& [key, value] : values) {
        Ref number = Ref::steal(PyLong_FromUnsignedLongLong(value));
        if (!number || PyDict_SetItemString(stats, key, number.get()) < 0) return false;
    }
    return true;
}

}  // namespace varnel
