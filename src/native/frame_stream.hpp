// The generator body every capture stream shares: the frame reader, opened at the first advance
// (never at the call), feeding each decoded frame to a sink that makes the item.
#pragma once

#include "frame_reader.hpp"
#include "generator.hpp"

#include <utility>

namespace varnel {

// Opens `reader` on what the call's argument names, after its run-time checks; false with an
// exception set.
using StreamOpener = bool (*)(FrameReader& reader, PyObject* argument);

// A sink makes one item of a record: PyObject* operator()(const PacketRecord&), a new reference
// or null with an exception set; finish() when a stream that opened its capture ends; traverse()
// for the interpreter objects it holds.
template <class Sink>
class FrameStream final : public GeneratorBody {
public:
    FrameStream(PyObject* argument, StreamOpener open, const ReaderMessages& messages, Sink sink)
        : argument_(Ref::borrow(argument)), open_(open), reader_(messages), sink_(std::move(sink)) {}

    PyObject* next_item() override {
        if (!opened_) {
            opened_ = true;
            if (!open_(reader_, argument_.get())) return nullptr;
        }
        if (reader_.next(rec_) != FrameReader::Step::Frame) return nullptr;
        return sink_(rec_);
    }

    void finish() noexcept override {
        bool was_reading = reader_.is_open();
        reader_.close();
        if (was_reading) sink_.finish();
    }

    PyObject* read_position() override { return reader_.read_position(); }
    PyObject* stats(bool running) override { return capture_stats_dict(reader_.stats(running)); }
    int traverse(visitproc visit, void* arg) override { return sink_.traverse(visit, arg); }

private:
    Ref argument_;  // the path or device argument, held for the stream's life
    StreamOpener open_;
    FrameReader reader_;
    Sink sink_;
    PacketRecord rec_{};
    bool opened_ = false;
};

// Openers for the one bytes argument (or None) of the packet and feature functions.
bool open_file_argument(FrameReader& reader, PyObject* argument);
bool open_device_argument(FrameReader& reader, PyObject* argument);

}  // namespace varnel
