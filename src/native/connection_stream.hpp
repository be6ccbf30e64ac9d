// The generator body of connection records: the located frames of a frame reader into a
// connection feed, one record dictionary out whenever a connection ends.
#pragma once

#include "connection_dict.hpp"
#include "connection_feed.hpp"
#include "frame_reader.hpp"
#include "generator.hpp"

#include <memory>

namespace varnel {

class ConnectionStream final : public GeneratorBody {
public:
    // `reader` must locate frames only (FrameDecode::NetworkStart).
    ConnectionStream(std::unique_ptr<FrameReader> reader, std::unique_ptr<connections::ConnectionFeed> feed);

    PyObject* next_item() override;
    void finish() noexcept override { reader_->close(); }
    PyObject* read_position() override { return reader_->read_position(); }
    PyObject* stats(bool running) override;
    int traverse(visitproc visit, void* arg) override;

private:
    bool read_until_records();
    void end_read();

    std::unique_ptr<FrameReader> reader_;
    std::unique_ptr<connections::ConnectionFeed> feed_;
    ConnectionDicts dicts_;
    PacketRecord rec_{};  // unused by a reader that only locates frames
    bool ended_ = false;
    // What ended a read part-way, raised once every connection still open has been handed out.
    Ref failure_;
};

// Adds the connection table's counts to a stream's statistics dict; false with an exception set.
bool add_connection_stats(PyObject* stats, const connections::ConnectionStats& counts);

}  // namespace varnel
