#include "host_window.hpp"

#include "host_table.hpp"
#include "probe_run.hpp"

#include <algorithm>
#include <bit>

namespace varnel::connections {

WindowCounts WindowCounts::of_itself(const WindowRecord& self) noexcept {
    WindowCounts counts;
    counts.host = counts.service = counts.host_same_service = counts.host_same_src_port = 1;
    counts.host_syn_error = counts.service_syn_error = self.error == WindowError::Syn ? 1 : 0;
    counts.host_rej_error = counts.service_rej_error = self.error == WindowError::Rej ? 1 : 0;
    return counts;
}

HostWindow::Key HostWindow::key_of(const WindowRecord& record, Kind kind) noexcept {
    uint32_t value = kind == kHostService ? record.service : kind == kHostPort ? record.src_port : 0;
    uint32_t tag = kind | (uint32_t{record.ip_version} << 2) | (value << 10);
    uint64_t folded =
        (record.host_high ^ host_table::hash_seed) * 0x9E3779B97F4A7C15ull + record.host_low + (uint64_t{tag} << 32);
    return Key{record.host_high, record.host_low, tag, static_cast<uint32_t>(host_table::mix(folded))};
}

HostWindow::Held HostWindow::held_of(const WindowRecord& record) noexcept {
    return Held{record, {key_of(record, kHost), key_of(record, kHostService), key_of(record, kHostPort)}};
}

void HostWindow::tally(Tally& tally, WindowError error, uint32_t change) noexcept {
    tally.all += change;
    tally.syn += error == WindowError::Syn ? change : 0;
    tally.rej += error == WindowError::Rej ? change : 0;
}

size_t HostWindow::slot_of(const Key& key) const noexcept {
    size_t mask = slots_.size() - 1;
    size_t slot = key.hash & mask;
    while (slots_[slot].used && !(slots_[slot].key == key)) slot = (slot + 1) & mask;
    return slot;
}

HostWindow::Tally HostWindow::get(const Key& key) const noexcept {
    if (slots_.empty()) return Tally{0, 0, 0};
    const Slot& slot = slots_[slot_of(key)];
    return slot.used ? slot.tally : Tally{0, 0, 0};
}

// Adds (step 1) or removes (step -1) one record's count under `key`; a key counted to zero goes,
// and the entries after it in its probe run move back over the gap.
void HostWindow::add(const Key& key, WindowError error, int step) noexcept {
    size_t hole = slot_of(key);
    Slot& slot = slots_[hole];
    if (!slot.used) slot = Slot{key, Tally{0, 0, 0}, true};
    tally(slot.tally, error, static_cast<uint32_t>(step));  // adding 2^32 - 1 takes one away
    if (slot.tally.all != 0) return;
    close_gap(
        slots_, hole, [](const Slot& taken) { return taken.used; }, [](const Slot& taken) { return taken.key.hash; },
        [](Slot& emptied) { emptied.used = false; });
}

void HostWindow::count_in(const Held& held, int step) noexcept {
    for (const Key& key : held.keys) add(key, held.record.error, step);
    tally(services_[held.record.service], held.record.error, static_cast<uint32_t>(step));
}

WindowCounts HostWindow::count(const Held& self) const noexcept {
    const WindowRecord& record = self.record;
    WindowCounts counts = WindowCounts::of_itself(record);
    Tally host = get(self.keys[kHost]);
    Tally service = record.service < services_.size() ? services_[record.service] : Tally{0, 0, 0};
    counts.host += host.all;
    counts.host_syn_error += host.syn;
    counts.host_rej_error += host.rej;
    counts.service += service.all;
    counts.service_syn_error += service.syn;
    counts.service_rej_error += service.rej;
    counts.host_same_service += get(self.keys[kHostService]).all;
    counts.host_same_src_port += get(self.keys[kHostPort]).all;
    counts.service_other_host = counts.service - counts.host_same_service;
    return counts;
}

WindowCounts HostWindow::count_and_push(const WindowRecord& self, size_t limit) {
    Held held = held_of(self);
    WindowCounts counts = count(held);
    push(held, limit);
    return counts;
}

void HostWindow::rehash(size_t slot_count) {
    std::vector<Slot> previous(slot_count, Slot{Key{0, 0, 0, 0}, Tally{0, 0, 0}, false});
    previous.swap(slots_);
    for (const Slot& slot : previous) {
        if (slot.used) slots_[slot_of(slot.key)] = slot;
    }
}

void HostWindow::push(const Held& held, size_t limit) {
    if (limit == 0) return;
    const WindowRecord& self = held.record;
    if (ring_.size() < limit) {
        // Room for the keys of one more record at under half load, before anything changes.
        size_t needed = size_t{kKinds} * (ring_.size() + 1) * 2;
        if (slots_.size() < needed) rehash(std::max<size_t>(64, std::bit_ceil(needed)));
        if (services_.size() <= self.service) services_.resize(size_t{self.service} + 1, Tally{0, 0, 0});
        ring_.reserve(std::min(limit, std::max<size_t>(16, 2 * ring_.size())));
        ring_.push_back(held);
        count_in(held, 1);
        return;
    }
    if (services_.size() <= self.service) services_.resize(size_t{self.service} + 1, Tally{0, 0, 0});
    count_in(ring_[oldest_], -1);
    ring_[oldest_] = held;
    count_in(held, 1);
    oldest_ = (oldest_ + 1) % ring_.size();
}

void HostWindow::clear() noexcept {
    std::vector<Held>().swap(ring_);
    std::vector<Slot>().swap(slots_);
    std::vector<Tally>().swap(services_);
    oldest_ = 0;
}

}  // namespace varnel::connections
