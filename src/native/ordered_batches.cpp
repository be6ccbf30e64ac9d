#include "ordered_batches.hpp"

#include <chrono>
#include <new>
#include <utility>

namespace varnel::columns {
namespace {

// What a thread reserves before its input's first batch, whose size it cannot know yet.
constexpr size_t kFirstBatchBytes = size_t{8} << 20;

}  // namespace

OrderedBatches::OrderedBatches(size_t inputs, size_t jobs, MakeReader make, std::unique_ptr<ColumnReader> first,
                               size_t budget)
    : make_(std::move(make)), first_(std::move(first)), budget_(budget), queues_(inputs), out_of_memory_(inputs, 0) {
    const size_t threads = std::min(jobs, inputs);
    try {
        threads_.reserve(threads);
        for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
        // The threads started must end before the members they use go: no destructor runs here.
        shut_down();
        throw;
    }
}

OrderedBatches::~OrderedBatches() { shut_down(); }

// Stops every thread, joins it, and releases the batches not handed on.
void OrderedBatches::shut_down() noexcept {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    for (std::deque<Item>& queue : queues_) {
        for (Item& item : queue) release(item);
    }
}

void OrderedBatches::release(Item& item) noexcept {
    if (item.batch.release != nullptr) item.batch.release(&item.batch);
}

// Each thread reads the next input nobody reads yet, to its end, until none is left.
void OrderedBatches::work() {
    for (;;) {
        const size_t index = next_input_.fetch_add(1);
        if (index >= queues_.size() || stopped_) return;
        try {
            read_input(index, index == 0 ? std::move(first_) : make_(index));
        } catch (const std::bad_alloc&) {
            fail(index, kOutOfMemoryFilling);
        } catch (...) {
            fail(index, "unexpected native error while filling a batch");
        }
    }
}

void OrderedBatches::read_input(size_t index, std::unique_ptr<ColumnReader> reader) {
    if (index > 0 && !open(*reader)) {
        put(index, Item{Item::Kind::Failed, {}, 0, error_text(reader->failure(), false)}, 0);
        return;
    }
    size_t estimate = kFirstBatchBytes;
    while (reserve(index, estimate)) {
        Item item{Item::Kind::Batch};
        bool filled = false;
        try {
            filled = reader->next_batch(&item.batch);
        } catch (...) {
            unreserve(estimate);
            throw;
        }
        if (!filled) {
            put(index, Item{Item::Kind::Failed, {}, 0, reader->error()}, estimate);
            return;
        }
        if (item.batch.release == nullptr) {
            put(index, Item{Item::Kind::End}, estimate);
            return;
        }
        if (item.batch.length == 0) {
            release(item);  // a wait's empty batch: nothing to hand on
            unreserve(estimate);
            continue;
        }
        item.bytes = reader->last_batch_bytes();
        const size_t reserved = estimate;
        estimate = item.bytes;  // the next batch of this input is likely about as big
        put(index, std::move(item), reserved);
    }
}

bool OrderedBatches::open(ColumnReader& reader) {
    for (;;) {
        switch (reader.open_first()) {
            case ReadEvent::Frame: return true;
            case ReadEvent::Failed: return false;
            case ReadEvent::WaitingForData: reader.wait_for_data(kWaitSliceMs); break;
            default: break;
        }
        if (stopped_) return false;
    }
}

bool OrderedBatches::room(size_t index, size_t bytes) const {
    if (index == current_ && queues_[index].empty()) return true;
    return held_bytes_ == 0 || held_bytes_ + bytes <= budget_;
}

// Waits for room for a batch of about `bytes` and counts it; false once the read was stopped.
bool OrderedBatches::reserve(size_t index, size_t bytes) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || room(index, bytes); });
    if (stopped_) return false;
    held_bytes_ += bytes;
    return true;
}

void OrderedBatches::unreserve(size_t bytes) {
    {
        std::lock_guard lock(mutex_);
        held_bytes_ -= bytes;
    }
    changed_.notify_all();
}

// Hands an item on, counted at its own size instead of what was reserved for it. Should the queue
// have no memory for it, the item is released, its reservation given back, and bad_alloc thrown.
void OrderedBatches::put(size_t index, Item item, size_t reserved) {
    {
        std::lock_guard lock(mutex_);
        held_bytes_ -= reserved;
        if (stopped_) {
            release(item);
        } else {
            try {
                queues_[index].push_back(std::move(item));  // throwing, it leaves the item as it was
            } catch (...) {
                release(item);
                throw;
            }
            held_bytes_ += queues_[index].back().bytes;
        }
    }
    changed_.notify_all();
}

// An input's failure, handed on; when memory is too short even for that, marked where the consumer
// looks, so that it still learns of it instead of waiting for the input for ever.
void OrderedBatches::fail(size_t index, const char* reason) noexcept {
    try {
        put(index, Item{Item::Kind::Failed, {}, 0, reason}, 0);
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            out_of_memory_[index] = 1;
        }
        changed_.notify_all();
    }
}

OrderedBatches::Next OrderedBatches::next(ArrowArray* out, int timeout_ms) {
    out->release = nullptr;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (current_ >= queues_.size()) return Next::End;
        std::deque<Item>& items = queues_[current_];
        const auto ready = [&] { return !items.empty() || out_of_memory_[current_] != 0; };
        if (!changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) return Next::Waiting;
        if (items.empty()) {
            error_ = kOutOfMemoryFilling;
            return Next::Failed;
        }
        Item item = std::move(items.front());
        items.pop_front();
        held_bytes_ -= item.bytes;
        changed_.notify_all();
        switch (item.kind) {
            case Item::Kind::Batch: *out = item.batch; return Next::Batch;
            case Item::Kind::Failed: error_ = std::move(item.error); return Next::Failed;
            case Item::Kind::End:
                ++current_;  // the next input becomes the one that may always go on
                break;
        }
    }
}

}  // namespace varnel::columns
