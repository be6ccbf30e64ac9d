// Where a decoded frame becomes a packet dictionary.
#pragma once

#include "ref.hpp"
#include "varnel/core/base/grapnel.h"

#include <array>
#include <cstring>
#include <memory>

namespace varnel {

// Makes the keys, constants, templates and shared ints the dictionaries are built from; call once
// when a module loads. False with an exception set.
bool init_packet_dicts();

// A direct-mapped cache of texts keyed by up to 16 raw bytes: consecutive packets mostly repeat the
// same second, MAC pairs and addresses, and an immutable text can be shared by every dictionary.
template <size_t Slots, size_t KeySize>
class TextCache {
public:
    template <class Make>
    PyObject* get(const uint8_t* key, Make&& make) {
        Slot& slot = slots_[index_of(key)];
        if (!slot.text || std::memcmp(slot.key, key, KeySize) != 0) {
            PyObject* text = make(key);
            if (text == nullptr) return nullptr;
            std::memcpy(slot.key, key, KeySize);
            slot.text.reset(text);
        }
        return Py_NewRef(slot.text.get());
    }

private:
    struct Slot {
        uint8_t key[KeySize] = {};
        Ref text;
    };
    static size_t index_of(const uint8_t* key) {
        uint64_t hash = 1469598103934665603ull;
        for (size_t i = 0; i < KeySize; ++i) hash = (hash ^ key[i]) * 1099511628211ull;
        return static_cast<size_t>(hash % Slots);
    }
    std::array<Slot, Slots> slots_{};
};

// The text caches of one stream.
struct PacketTexts {
    long date_time_second = 0;
    Ref date_time;
    TextCache<31, 6> macs;
    TextCache<257, 4> ipv4;
    TextCache<61, 16> ipv6;

    PyObject* date_time_of(long seconds);
    PyObject* mac(const uint8_t* bytes, bool present);
    PyObject* address_v4(uint32_t wire_order);
    PyObject* address_v6(const uint8_t* bytes) { return ipv6.get(bytes, make_ipv6_text); }

private:
    static PyObject* make_ipv6_text(const uint8_t* bytes);
};

// The packet dictionary of one decoded record: a new reference, or null with an exception set.
PyObject* _struct_to_dict(const PacketRecord* rec, PacketTexts& texts);

// The packet-dictionary sink of the frame loop, one per stream.
class PacketDicts {
public:
    PyObject* operator()(const PacketRecord& rec) { return _struct_to_dict(&rec, *texts_); }

private:
    std::unique_ptr<PacketTexts> texts_ = std::make_unique<PacketTexts>();
};

// The packet dictionaries as a stream's sink: they need nothing beyond their text caches (no
// clean-up, no references).
struct PacketDictSink {
    PacketDicts dicts;
    PyObject* operator()(const PacketRecord& rec) { return dicts(rec); }
    void input_done() noexcept {}
    void finish() noexcept {}
    int traverse(visitproc, void*) { return 0; }
};

}  // namespace varnel
