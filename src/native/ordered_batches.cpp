#include "ordered_batches.hpp"

#include <chrono>
#include <new>
#include <utility>

namespace varnel::columns {
namespace {

// Batches the input being consumed may hold before the consumer takes them.
constexpr size_t kCurrentAhead = 4;
// A FIFO without a writer is looked at this often while its input is opened.
constexpr int kWriterWaitMs = 250;

}  // namespace

OrderedBatches::OrderedBatches(size_t inputs, size_t jobs, MakeReader make, std::unique_ptr<ColumnReader> first,
                               size_t budget)
    : make_(std::move(make)), first_(std::move(first)), budget_(budget), queues_(inputs) {
    const size_t threads = std::min(jobs, inputs);
    threads_.reserve(threads);
    for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

OrderedBatches::~OrderedBatches() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    for (Queue& queue : queues_) {
        for (Item& item : queue.items) release(item);
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
            put(index, Item{Item::Kind::Failed, {}, 0, "out of memory while filling a batch"});
        } catch (...) {
            put(index, Item{Item::Kind::Failed, {}, 0, "unexpected native error while filling a batch"});
        }
    }
}

void OrderedBatches::read_input(size_t index, std::unique_ptr<ColumnReader> reader) {
    if (index > 0 && !open(*reader)) {
        put(index, Item{Item::Kind::Failed, {}, 0, error_text(reader->failure(), false)});
        return;
    }
    while (!stopped_) {
        Item item{Item::Kind::Batch};
        if (!reader->next_batch(&item.batch)) {
            put(index, Item{Item::Kind::Failed, {}, 0, reader->error()});
            return;
        }
        if (item.batch.release == nullptr) {
            put(index, Item{Item::Kind::End});
            return;
        }
        item.bytes = reader->last_batch_bytes();
        if (item.batch.length == 0) {
            release(item);  // a wait's empty batch: nothing to hand on
            continue;
        }
        if (!put(index, std::move(item))) return;
    }
}

bool OrderedBatches::open(ColumnReader& reader) {
    for (;;) {
        switch (reader.open_first()) {
            case ReadEvent::Frame:
            case ReadEvent::Skipped: return true;  // noted in its report; reading it gives the end
            case ReadEvent::Failed: return false;
            case ReadEvent::WaitingForData: reader.wait_for_data(kWriterWaitMs); break;
            default: break;
        }
        if (stopped_) return false;
    }
}

bool OrderedBatches::room(size_t index, size_t bytes) const {
    if (index == current_) return queues_[index].items.size() < kCurrentAhead;
    return held_bytes_ == 0 || held_bytes_ + bytes <= budget_;
}

// Waits for room; false once the read was stopped (the item is released then).
bool OrderedBatches::put(size_t index, Item item) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || item.kind != Item::Kind::Batch || room(index, item.bytes); });
    if (stopped_) {
        release(item);
        return false;
    }
    if (index != current_) held_bytes_ += item.bytes;
    queues_[index].items.push_back(std::move(item));
    lock.unlock();
    changed_.notify_all();
    return true;
}

OrderedBatches::Next OrderedBatches::next(ArrowArray* out, int timeout_ms) {
    out->release = nullptr;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (current_ >= queues_.size()) return Next::End;
        std::deque<Item>& items = queues_[current_].items;
        if (!changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !items.empty(); })) {
            return Next::Waiting;
        }
        Item item = std::move(items.front());
        items.pop_front();
        changed_.notify_all();
        switch (item.kind) {
            case Item::Kind::Batch: *out = item.batch; return Next::Batch;
            case Item::Kind::Failed: error_ = std::move(item.error); return Next::Failed;
            case Item::Kind::End:
                // The next input becomes the current one: what it holds leaves the read-ahead budget.
                if (++current_ < queues_.size()) {
                    for (const Item& held : queues_[current_].items) held_bytes_ -= held.bytes;
                }
                break;
        }
    }
}

}  // namespace varnel::columns
