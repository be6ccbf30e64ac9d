// varnel.core.ver100.moraine: KDD-style feature rows, with a per-destination packet count, from a
// capture file or a live device.
#include "moraine.h"

#include "args.hpp"
#include "boundary.hpp"
#include "feature_row.hpp"
#include "frame_stream.hpp"
#include "generator.hpp"
#include "ref.hpp"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <vector>

// ---- The host table.

namespace host_table {

// A packet adds to its destination's count when it comes at most this long after the previous
// packet to that destination (a negative gap, a time stamp stepping back, counts as inside).
constexpr double kCountWindow = 2.0;
// Once a host's last packet is this much older than the newest time stamp seen, no later packet
// can fall inside its window unless time stamps step back by more than the margin: it is dropped.
constexpr double kExpiryAge = kCountWindow + 60.0;

// cppcheck does not see these used through the table template below.
struct HostState {
    uint32_t connection_count;  // cppcheck-suppress unusedStructMember
    double last_seen_time;      // cppcheck-suppress unusedStructMember
};

struct Ipv6Address {
    uint64_t high, low;
    bool operator==(const Ipv6Address&) const = default;
};

// Drawn when the module loads, so that nobody can choose addresses that all land in one slot.
uint64_t hash_seed = 0x9E3779B97F4A7C15ull;

inline uint64_t mix(uint64_t value) {
    value ^= value >> 33;
    value *= 0xFF51AFD7ED558CCDull;
    value ^= value >> 33;
    value *= 0xC4CEB9FE1A85EC53ull;
    value ^= value >> 33;
    return value;
}
inline uint32_t hash_of(uint32_t address) { return static_cast<uint32_t>(mix(address ^ hash_seed)); }
inline uint32_t hash_of(const Ipv6Address& address) {
    return static_cast<uint32_t>(mix(mix(address.high ^ hash_seed) ^ address.low));
}

// Hosts of one address family: open addressing with linear probing over a pool of nodes. The
// nodes are also on a list in the order they were last counted, so the stalest host is always at
// one end for expiry. Deletion shifts the probe run back instead of leaving tombstones, since a
// live table deletes as often as it inserts.
template <class Key>
class HostTable {
public:
    size_t size() const noexcept { return size_; }

    // Counts one packet to `key` at `timestamp` and returns the host's count after it. Throws
    // std::bad_alloc, before changing anything, when the table cannot grow.
    uint32_t count_packet(const Key& key, double timestamp) {
        uint32_t hash = hash_of(key);
        if (size_ > 0) {
            uint32_t index = slots_[find(key, hash)].node;
            if (index != kNone) return count_again(index, timestamp);
        }
        insert(key, hash, timestamp);
        return 1;
    }

    // Drops hosts from the stale end of the list for as long as their last packet is more than
    // kExpiryAge older than `newest_time`. With time stamps in order that is every such host; a
    // host stamped back in time waits until it reaches the end, which only keeps it longer.
    void expire(double newest_time) noexcept {
        while (oldest_ != kNone && newest_time - nodes_[oldest_].state.last_seen_time > kExpiryAge) {
            erase(oldest_);
        }
    }

    // Empties the table and gives its storage back.
    void clear() noexcept {
        std::vector<Node>().swap(nodes_);
        std::vector<Slot>().swap(slots_);
        newest_ = oldest_ = free_ = kNone;
        size_ = 0;
    }

private:
    static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    static constexpr size_t kMinSlots = 64;

    struct Node {
        Key key;
        HostState state;
        uint32_t newer, older;  // recency list neighbours; `older` also chains free nodes
    };
    struct Slot {
        uint32_t node;  // kNone when empty
        uint32_t hash;
    };

    size_t mask() const noexcept { return slots_.size() - 1; }

    // The slot holding `key`, or the empty slot that ends its probe run.
    size_t find(const Key& key, uint32_t hash) const noexcept {
        size_t slot = hash & mask();
        while (slots_[slot].node != kNone) {
            if (slots_[slot].hash == hash && nodes_[slots_[slot].node].key == key) return slot;
            slot = (slot + 1) & mask();
        }
        return slot;
    }

    uint32_t count_again(uint32_t index, double timestamp) noexcept {
        HostState& state = nodes_[index].state;
        bool in_window = timestamp - state.last_seen_time <= kCountWindow;
        state.connection_count = in_window ? state.connection_count + 1 : 1;  // wraps at 2^32
        state.last_seen_time = timestamp;
        unlink(index);
        link_newest(index);
        return state.connection_count;
    }

    void insert(const Key& key, uint32_t hash, double timestamp) {
        // The two steps that can throw come first and each leaves the table whole.
        if ((size_ + 1) * 4 > slots_.size() * 3) rehash(std::max(kMinSlots, slots_.size() * 2));
        uint32_t index = new_node();
        nodes_[index] = Node{key, HostState{1, timestamp}, kNone, kNone};
        slots_[find(key, hash)] = Slot{index, hash};
        link_newest(index);
        ++size_;
    }

    uint32_t new_node() {
        if (free_ != kNone) {
            uint32_t index = free_;
            free_ = nodes_[index].older;
            return index;
        }
        if (nodes_.size() >= kNone) throw std::bad_alloc();
        nodes_.emplace_back();
        return static_cast<uint32_t>(nodes_.size() - 1);
    }

    void rehash(size_t slot_count) {
        std::vector<Slot> previous(slot_count, Slot{kNone, 0});
        previous.swap(slots_);
        for (const Slot& entry : previous) {
            if (entry.node == kNone) continue;
            size_t slot = entry.hash & mask();
            while (slots_[slot].node != kNone) slot = (slot + 1) & mask();
            slots_[slot] = entry;
        }
    }

    void erase(uint32_t index) noexcept {
        size_t slot = hash_of(nodes_[index].key) & mask();
        while (slots_[slot].node != index) slot = (slot + 1) & mask();
        close_gap(slot);
        unlink(index);
        nodes_[index].older = free_;
        free_ = index;
        --size_;
    }

    // Empties `hole` and moves up every later entry of the run whose probe path passes the hole.
    void close_gap(size_t hole) noexcept {
        size_t slot = hole;
        for (;;) {
            slot = (slot + 1) & mask();
            if (slots_[slot].node == kNone) break;
            size_t home = slots_[slot].hash & mask();
            if (((slot - home) & mask()) >= ((slot - hole) & mask())) {
                slots_[hole] = slots_[slot];
                hole = slot;
            }
        }
        slots_[hole].node = kNone;
    }

    void unlink(uint32_t index) noexcept {
        const Node& node = nodes_[index];
        (node.newer != kNone ? nodes_[node.newer].older : newest_) = node.older;
        (node.older != kNone ? nodes_[node.older].newer : oldest_) = node.newer;
    }

    void link_newest(uint32_t index) noexcept {
        Node& node = nodes_[index];
        node.newer = kNone;
        node.older = newest_;
        (newest_ != kNone ? nodes_[newest_].newer : oldest_) = index;
        newest_ = index;
    }

    std::vector<Node> nodes_;
    std::vector<Slot> slots_;
    uint32_t newest_ = kNone, oldest_ = kNone, free_ = kNone;
    size_t size_ = 0;
};

}  // namespace host_table

// Destinations counted so far: IPv4 and IPv6 hosts in key spaces of their own, both expiring
// against the newest time stamp either has seen.
class HostTracker {
public:
    // Throws std::bad_alloc when a new host cannot be stored.
    uint32_t count_packet(const PacketRecord& rec) {
        newest_time_ = std::max(newest_time_, rec.timestamp);
        ipv4_.expire(newest_time_);
        ipv6_.expire(newest_time_);
        if (rec.ip_version == 6) {
            host_table::Ipv6Address destination{};
            std::memcpy(&destination.high, rec.dst_ip_v6, 8);
            std::memcpy(&destination.low, rec.dst_ip_v6 + 8, 8);
            return ipv6_.count_packet(destination, rec.timestamp);
        }
        return ipv4_.count_packet(rec.dst_ip_v4, rec.timestamp);
    }

    size_t size() const noexcept { return ipv4_.size() + ipv6_.size(); }

    void clear() noexcept {
        ipv4_.clear();
        ipv6_.clear();
        newest_time_ = -std::numeric_limits<double>::infinity();
    }

private:
    host_table::HostTable<uint32_t> ipv4_;
    host_table::HostTable<host_table::Ipv6Address> ipv6_;
    double newest_time_ = -std::numeric_limits<double>::infinity();
};

namespace {

using varnel::Ref;

// ---- Feature calculation.

void calculate_kdd(FeatureExtractorObject* self, const PacketRecord* rec, AdvancedFeatures* feat) {
    feat->timestamp = rec->timestamp;
    feat->src_ip = rec->src_ip_v4;
    feat->dst_ip = rec->dst_ip_v4;
    feat->src_port = rec->src_port;
    feat->dst_port = rec->dst_port;
    feat->protocol_type = rec->ip_proto;
    feat->duration = 0;
    feat->src_bytes = rec->frame_length;
    feat->land = static_cast<uint8_t>(rec->land);
    feat->wrong_fragment = static_cast<uint32_t>(rec->wrong_fragment);
    feat->urgent = static_cast<uint32_t>(rec->urgent);
    feat->count = self->host_tracker->count_packet(*rec);
}

constexpr FeatureExtractorMethods kExtractorMethods{calculate_kdd};

FeatureExtractorObject* as_extractor(PyObject* object) { return reinterpret_cast<FeatureExtractorObject*>(object); }

// ---- Reading captures.

constexpr varnel::ReaderMessages kFileMessages{"Lỗi mở file PCAP: ", "Lỗi đọc file PCAP: "};
constexpr varnel::ReaderMessages kDeviceMessages{"Lỗi mở card mạng: ", "Lỗi đọc card mạng: "};

// The feature-row sink: counts each packet in its extractor's host table, which it empties when a
// run that opened its capture ends.
class FeatureRowSink {
public:
    explicit FeatureRowSink(PyObject* extractor) : extractor_(Ref::borrow(extractor)) {}

    // Throws std::bad_alloc when the host table cannot grow.
    PyObject* operator()(const PacketRecord& rec) {
        FeatureExtractorObject* self = as_extractor(extractor_.get());
        self->methods->_calculate_kdd(self, &rec, &feat_);
        return varnel::feature_row(feat_);
    }

    void finish() noexcept { as_extractor(extractor_.get())->host_tracker->clear(); }

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(extractor_.get());
        return 0;
    }

private:
    Ref extractor_;
    AdvancedFeatures feat_{};
};

// Appends the row of every IP frame left in `reader`. False with an exception set; a damaged
// file ends early with a warning and counts as complete.
bool append_all_rows(varnel::FrameReader& reader, FeatureRowSink& sink, PyObject* rows) {
    PacketRecord rec{};
    for (;;) {
        varnel::FrameReader::Step step = reader.next(rec);
        if (step != varnel::FrameReader::Step::Frame) return step == varnel::FrameReader::Step::End;
        Ref row = Ref::steal(sink(rec));
        if (!row || PyList_Append(rows, row.get()) < 0) return false;
    }
}

// Reads the whole file into `rows`; the host table is emptied afterwards, whatever happened.
bool read_all_rows(varnel::FrameReader& reader, FeatureRowSink& sink, PyObject* rows) {
    try {
        bool complete = append_all_rows(reader, sink, rows);
        reader.close();
        sink.finish();
        return complete;
    } catch (...) {
        reader.close();
        sink.finish();
        throw;
    }
}

// ---- The methods of FeatureExtractor.

PyObject* process_pcap(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* source = varnel::parse_bytes_or_none({"process_pcap", "file_path"}, args, nargs, kwnames);
    if (source == nullptr) return nullptr;
    varnel::FrameReader reader(kFileMessages);
    if (!varnel::open_file_argument(reader, source)) return nullptr;  // the host table is left as it was
    FeatureRowSink sink(object);
    Ref rows = Ref::steal(PyList_New(0));
    if (!rows) {
        reader.close();
        sink.finish();
        return nullptr;
    }
    // A collection while the list fills would walk every row built so far, each one a cache
    // miss. Nothing the list holds can be part of a cycle (rows hold only str, int and float),
    // so the collector meets the list only once it is complete.
    PyObject_GC_UnTrack(rows.get());
    if (!read_all_rows(reader, sink, rows.get())) return nullptr;
    PyObject_GC_Track(rows.get());
    return rows.release();
}

PyObject* new_feature_stream(PyObject* self, const varnel::ArgumentName& argument, varnel::StreamOpener open,
                             const varnel::ReaderMessages& messages, PyObject* name, PyObject* qualname,
                             PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* source = varnel::parse_bytes_or_none(argument, args, nargs, kwnames);
    if (source == nullptr) return nullptr;
    auto body = std::make_unique<varnel::FrameStream<FeatureRowSink>>(source, open, messages, FeatureRowSink(self));
    return varnel::new_generator(std::move(body), name, qualname);
}

struct Names {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject *process_live, *process_live_qualname, *iter_pcap, *iter_pcap_qualname;
};
Names names;

PyObject* process_live(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return new_feature_stream(self, {"process_live", "device_name"}, varnel::open_device_argument, kDeviceMessages,
                              names.process_live, names.process_live_qualname, args, nargs, kwnames);
}

PyObject* iter_pcap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return new_feature_stream(self, {"iter_pcap", "file_path"}, varnel::open_file_argument, kFileMessages,
                              names.iter_pcap, names.iter_pcap_qualname, args, nargs, kwnames);
}

PyObject* get_tracked_hosts(PyObject* self, void*) {
    return PyLong_FromSize_t(as_extractor(self)->host_tracker->size());
}

// ---- Pickling refusal: a copy could not carry the host table along.

PyObject* raise_not_picklable() {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

PyObject* refuse_reduce(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!varnel::parse_no_arguments("__reduce__", nargs, kwnames)) return nullptr;
    return raise_not_picklable();
}

PyObject* refuse_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (varnel::parse_one_argument({"__setstate__", "state"}, args, nargs, kwnames) == nullptr) return nullptr;
    return raise_not_picklable();
}

// ---- The type.

PyObject* extractor_new(PyTypeObject* type, PyObject*, PyObject*) {
    // Every argument is accepted and ignored.
    auto tracker = std::make_unique<HostTracker>();
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    FeatureExtractorObject* self = as_extractor(object);
    self->methods = &kExtractorMethods;
    self->host_tracker = tracker.release();
    return object;
}

void extractor_dealloc(PyObject* object) {
    FeatureExtractorObject* self = as_extractor(object);
    delete self->host_tracker;
    self->host_tracker = nullptr;
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyMethodDef extractor_methods[] = {
    varnel::method<process_pcap>("process_pcap",
                                 "process_pcap($self, file_path)\n--\n\n"
                                 "Hàm API gọi từ Python để xử lý toàn bộ file PCAP"),
    varnel::method<process_live>("process_live",
                                 "process_live($self, device_name)\n--\n\n"
                                 "Hàm API gọi từ Python để trích xuất đặc trưng KDD trực tiếp từ Card mạng"),
    varnel::method<iter_pcap>("iter_pcap",
                              "iter_pcap($self, file_path)\n--\n\n"
                              "Yield, one at a time, the feature rows process_pcap would return for the file.\n"
                              "The file is opened at the first next(); when the generator ends, is closed or is\n"
                              "dropped, the file is closed and the host table emptied."),
    varnel::method<refuse_reduce>("__reduce__", nullptr),
    varnel::method<refuse_setstate>("__setstate__", nullptr),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef extractor_getset[] = {
    varnel::getter<get_tracked_hosts>("_tracked_hosts", "number of destination hosts the extractor is counting"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot extractor_slots[] = {
    varnel::slot<extractor_new>(Py_tp_new),
    varnel::slot<extractor_dealloc>(Py_tp_dealloc),
    varnel::data_slot(Py_tp_methods, extractor_methods),
    varnel::data_slot(Py_tp_getset, extractor_getset),
    {0, nullptr},
};

// No GC flag: the object holds no interpreter objects.
PyType_Spec extractor_spec = {
    "varnel.core.ver100.moraine.FeatureExtractor", sizeof(FeatureExtractorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, extractor_slots,
};

// ---- The module.

void seed_host_hash() {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
        seed = static_cast<uint64_t>(std::time(nullptr)) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(getpid());
    }
    host_table::hash_seed = seed;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "varnel.core.ver100.moraine",
    "KDD-style feature rows, with a per-destination packet count, from pcap files and live devices.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
    const varnel::InternedName entries[] = {
        {&names.process_live, "process_live"}, {&names.process_live_qualname, "FeatureExtractor.process_live"},
        {&names.iter_pcap, "iter_pcap"}, {&names.iter_pcap_qualname, "FeatureExtractor.iter_pcap"},
    };
    if (!varnel::ready_generator_type() || !varnel::intern_all(entries) || !varnel::init_feature_rows()) {
        return nullptr;
    }
    seed_host_hash();
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module.get(), &extractor_spec, nullptr));
    if (!type || PyModule_AddObjectRef(module.get(), "FeatureExtractor", type.get()) < 0) return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_moraine() { return varnel::guarded_init<init_module>(); }
