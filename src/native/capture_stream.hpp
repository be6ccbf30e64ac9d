// The one generator body of every capture stream — packet dictionaries or feature rows, from the
// packet and feature functions or the top-level ones: a frame reader, opened at the first advance
// (never at the call), feeding each decoded frame to a sink that makes the item.
#pragma once

#include "frame_reader.hpp"
#include "generator.hpp"

#include <memory>
#include <utility>

namespace varnel {

// A sink makes one item of a record: PyObject* operator()(const PacketRecord&), a new reference or
// null with an exception set; input_done() when an input was read to its end; finish() when a
// stream that opened a capture ends; traverse() for the interpreter objects it holds.
template <class Sink>
class CaptureStream final : public GeneratorBody {
public:
    // A stream of inputs resolved at the call.
    CaptureStream(std::unique_ptr<FrameReader> reader, Sink sink)
        : reader_(std::move(reader)), sink_(std::move(sink)) {}

    // A stream of the one bytes argument of the packet and feature functions, a path or a device
    // name, checked when the stream first advances.
    CaptureStream(PyObject* argument, CaptureInput::Kind kind, Wording wording, Sink sink)
        : argument_(Ref::borrow(argument)), argument_kind_(kind), wording_(wording), sink_(std::move(sink)) {}

    PyObject* next_item() override {
        if (!reader_ && !make_reader()) return nullptr;
        for (;;) {
            switch (reader_->next(rec_)) {
                case FrameReader::Step::Frame: return sink_(rec_);
                case FrameReader::Step::InputEnd: sink_.input_done(); break;
                case FrameReader::Step::Idle: break;
                case FrameReader::Step::End:
                case FrameReader::Step::Error: return nullptr;
            }
        }
    }

    void finish() noexcept override {
        if (!reader_) return;
        reader_->close();
        if (reader_->opened_any()) sink_.finish();
    }

    PyObject* read_position() override { return reader_ ? reader_->read_position() : nullptr; }
    PyObject* stats(bool running) override {
        return reader_ ? reader_->stats(running) : capture_stats_dict(ReaderStats{});
    }
    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(argument_.get());
        if (reader_) {
            if (int result = reader_->traverse(visit, arg)) return result;
        }
        return sink_.traverse(visit, arg);
    }

private:
    bool make_reader();

    Ref argument_;  // the bytes argument, held for the stream's life
    CaptureInput::Kind argument_kind_ = CaptureInput::Kind::Path;
    Wording wording_ = Wording::English;
    std::unique_ptr<FrameReader> reader_;
    Sink sink_;
    PacketRecord rec_{};
};

// The one input of the packet and feature functions' bytes argument; null with TypeError (None) or
// ValueError (a NUL byte) set.
std::unique_ptr<FrameReader> argument_reader(PyObject* argument, CaptureInput::Kind kind, Wording wording);

template <class Sink>
bool CaptureStream<Sink>::make_reader() {
    reader_ = argument_reader(argument_.get(), argument_kind_, wording_);
    return reader_ != nullptr;
}

}  // namespace varnel
