// Several inputs read on threads at once, each by a column reader of its own, their batches handed
// on in input order. What is read and not yet handed on — batches waiting, and a batch each thread
// is filling, counted before it is filled at the size of its last — stays within a byte budget;
// the input being consumed may always fill one more batch when it has none waiting (it is the one
// the consumer waits for, so the others can never starve it). Nothing here touches the interpreter.
#pragma once

#include "column_batch.hpp"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varnel::columns {

// What a read says when memory ran out while a batch was filled, on whichever thread.
inline constexpr const char* kOutOfMemoryFilling = "out of memory while filling a batch";

// What the threads may hold together, in bytes of batch buffers.
inline constexpr size_t kReadAheadBytes = size_t{128} << 20;

class OrderedBatches {
public:
    // Makes the reader of input `index`, not yet opened.
    using MakeReader = std::function<std::unique_ptr<ColumnReader>(size_t index)>;

    // `first` is input 0's reader, already opened (a first input that cannot be opened fails the
    // export, not the stream).
    OrderedBatches(size_t inputs, size_t jobs, MakeReader make, std::unique_ptr<ColumnReader> first,
                   size_t budget = kReadAheadBytes);
    OrderedBatches(const OrderedBatches&) = delete;
    OrderedBatches& operator=(const OrderedBatches&) = delete;
    // Stops every thread and joins it; batches not handed on are released.
    ~OrderedBatches();

    enum class Next { Batch, End, Failed, Waiting };
    // The next batch in input order into `out`; Waiting (with `out` released-empty) when none came
    // within `timeout_ms`, so that a caller in Python gets control back; Failed with the reason in
    // error() when an input failed.
    Next next(ArrowArray* out, int timeout_ms);
    const std::string& error() const noexcept { return error_; }

private:
    struct Item {
        enum class Kind : uint8_t { Batch, End, Failed } kind;
        ArrowArray batch{};
        size_t bytes = 0;
        std::string error;
    };

    void work();
    void read_input(size_t index, std::unique_ptr<ColumnReader> reader);
    bool open(ColumnReader& reader);
    bool reserve(size_t index, size_t bytes);
    void put(size_t index, Item item, size_t reserved);
    void fail(size_t index, const char* reason) noexcept;
    void shut_down() noexcept;
    void unreserve(size_t bytes);
    bool room(size_t index, size_t bytes) const;
    static void release(Item& item) noexcept;

    MakeReader make_;
    std::unique_ptr<ColumnReader> first_;
    size_t budget_;
    std::vector<std::deque<Item>> queues_;  // per input, its batches not yet handed on
    std::vector<char> out_of_memory_;       // per input, failed with no memory to say so in its queue
    std::atomic<size_t> next_input_{0};
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;                 // guards queues_, out_of_memory_, held_bytes_, current_
    std::condition_variable changed_;  // an item was put or taken, the current input moved, or a stop
    size_t held_bytes_ = 0;            // of batches waiting, and reserved for batches being filled
    size_t current_ = 0;               // the input being consumed
    std::string error_;
    std::vector<std::thread> threads_;
};

}  // namespace varnel::columns
