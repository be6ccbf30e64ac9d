// Open addressing with linear probing over a power-of-two number of slots: the removal that
// leaves no tombstone. Every table of the core deletes as often as it inserts, so a tombstone
// would pile up; the entries after a hole move back instead, each only as far as its home slot
// allows. Plain C++.
#pragma once

#include <cstddef>
#include <vector>

namespace varnel {

// Empties slot `hole` of `slots` and moves back every later entry of its probe run whose path
// from its home passes the hole. `used(slot)` tells a taken slot, `home(slot)` gives the hash
// that places its entry, `clear(slot)` empties one.
template <class Slot, class Used, class Home, class Clear>
void close_gap(std::vector<Slot>& slots, size_t hole, Used used, Home home, Clear clear) noexcept {
    const size_t mask = slots.size() - 1;
    for (size_t next = (hole + 1) & mask; used(slots[next]); next = (next + 1) & mask) {
        const size_t distance = (next - (home(slots[next]) & mask)) & mask;
        if (distance >= ((next - hole) & mask)) {
            slots[hole] = slots[next];
            hole = next;
        }
    }
    clear(slots[hole]);
}

}  // namespace varnel
