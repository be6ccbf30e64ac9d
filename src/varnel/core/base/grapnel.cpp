// varnel.core.base.grapnel: packet dictionaries from a capture file or a live device.
#include "grapnel.h"

#include "args.hpp"
#include "capture.hpp"
#include "dict_template.hpp"
#include "generator.hpp"
#include "ref.hpp"

#include <arpa/inet.h>

#include <array>
#include <cerrno>
#include <ctime>
#include <memory>

namespace {

using varnel::put;
using varnel::Ref;

enum Group { kGroupTCP, kGroupUDP, kGroupICMP, kGroupOthers, kGroupCount };

// Interned keys and constant values, made once at module load. The one instance lives in static
// storage, zero-initialised before the module loads.
struct Names {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject *success, *timestamp, *date_time, *frame_length, *src_mac, *dst_mac, *ip_proto, *ip_id,
        *wrong_fragment, *land, *src_port, *dst_port, *version, *src_ip, *dst_ip, *protocol_type, *tcp_flag,
        *tcp_seq, *tcp_ack, *urgent, *udp_length, *icmp_type, *icmp_code;
    PyObject *ipv4, *ipv6;
    PyObject* protocol_names[kGroupCount];
    PyObject *read_pcap, *start_sniff;
    // Every packet dictionary starts as a copy of one of these.
    varnel::DictTemplate templates[2][kGroupCount];  // [has IP version][group]
};
Names names;

Group group_of(uint8_t ip_proto) {
    switch (ip_proto) {
        case packet_decoding::kProtoTCP: return kGroupTCP;
        case packet_decoding::kProtoUDP: return kGroupUDP;
        case packet_decoding::kProtoICMP:
        case packet_decoding::kProtoICMPv6: return kGroupICMP;
        default: return kGroupOthers;
    }
}

bool intern_names() {
    const varnel::InternedName entries[] = {
        {&names.success, "success"}, {&names.timestamp, "timestamp"}, {&names.date_time, "date_time"},
        {&names.frame_length, "frame_length"}, {&names.src_mac, "src_mac"}, {&names.dst_mac, "dst_mac"},
        {&names.ip_proto, "ip_proto"}, {&names.ip_id, "ip_id"}, {&names.wrong_fragment, "wrong_fragment"},
        {&names.land, "land"}, {&names.src_port, "src_port"}, {&names.dst_port, "dst_port"},
        {&names.version, "version"}, {&names.src_ip, "src_ip"}, {&names.dst_ip, "dst_ip"},
        {&names.protocol_type, "protocol_type"}, {&names.tcp_flag, "tcp_flag"}, {&names.tcp_seq, "tcp_seq"},
        {&names.tcp_ack, "tcp_ack"}, {&names.urgent, "urgent"}, {&names.udp_length, "udp_length"},
        {&names.icmp_type, "icmp_type"}, {&names.icmp_code, "icmp_code"}, {&names.ipv4, "IPv4"},
        {&names.ipv6, "IPv6"}, {&names.protocol_names[kGroupTCP], "TCP"},
        {&names.protocol_names[kGroupUDP], "UDP"}, {&names.protocol_names[kGroupICMP], "ICMP"},
        {&names.protocol_names[kGroupOthers], "Others"}, {&names.read_pcap, "read_pcap"},
        {&names.start_sniff, "start_sniff"},
    };
    if (!varnel::intern_all(entries)) return false;
    return true;
}

bool make_template(bool has_ip, Group group, varnel::DictTemplate& result) {
    std::array<PyObject*, 20> keys{};
    size_t count = 0;
    for (PyObject* key : {names.success, names.timestamp, names.date_time, names.frame_length, names.src_mac,
                          names.dst_mac, names.ip_proto, names.ip_id, names.wrong_fragment, names.land,
                          names.src_port, names.dst_port}) {
        keys[count++] = key;
    }
    if (has_ip) {
        for (PyObject* key : {names.version, names.src_ip, names.dst_ip}) keys[count++] = key;
    }
    keys[count++] = names.protocol_type;
    if (group == kGroupTCP) {
        for (PyObject* key : {names.tcp_flag, names.tcp_seq, names.tcp_ack, names.urgent}) keys[count++] = key;
    } else if (group == kGroupUDP) {
        keys[count++] = names.udp_length;
    } else if (group == kGroupICMP) {
        keys[count++] = names.icmp_type;
        keys[count++] = names.icmp_code;
    }
    return result.init(std::span(keys.data(), count));
}

bool make_templates() {
    for (int has_ip = 0; has_ip < 2; ++has_ip) {
        for (int group = 0; group < kGroupCount; ++group) {
            if (!make_template(has_ip, static_cast<Group>(group), names.templates[has_ip][group])) return false;
        }
    }
    return true;
}

// ---- Texts, each with a small cache: consecutive packets mostly repeat the same second,
// MAC pairs and addresses, and an immutable text can be shared by every dictionary.

PyObject* ascii_text(const char* text, size_t length) {
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (result != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(result), text, length);
    return result;
}

// The text time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds)) gives, through the same
// libc calls.
PyObject* local_date_time(long seconds) {
    time_t when = seconds;
    struct tm local {};
    errno = 0;
    if (localtime_r(&when, &local) == nullptr) {
        if (errno == 0) errno = EINVAL;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    char text[64];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return ascii_text(text, length);
}

PyObject* mac_text(const uint8_t* mac) {
    static constexpr char kHex[] = "0123456789abcdef";
    char text[17];
    for (size_t i = 0; i < 6; ++i) {
        text[3 * i] = kHex[mac[i] >> 4];
        text[3 * i + 1] = kHex[mac[i] & 0x0F];
        if (i < 5) text[3 * i + 2] = ':';
    }
    return ascii_text(text, sizeof text);
}

// Dotted decimal, as inet_ntoa writes it; returns the length written (at most 15).
size_t write_dotted_quad(const uint8_t* octets, char* text) {
    size_t length = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned value = octets[i];
        if (value >= 100) text[length++] = static_cast<char>('0' + value / 100);
        if (value >= 10) text[length++] = static_cast<char>('0' + value / 10 % 10);
        text[length++] = static_cast<char>('0' + value % 10);
        if (i < 3) text[length++] = '.';
    }
    return length;
}

// Same text as inet_ntoa, without its shared static buffer.
PyObject* ipv4_text(uint32_t wire_order) {
    uint8_t octets[4];
    std::memcpy(octets, &wire_order, 4);
    char text[16];
    return ascii_text(text, write_dotted_quad(octets, text));
}

// The first longest run of two or more zero groups, which the text shortens to "::".
struct ZeroRun {
    int base = -1;
    int length = 0;
};

ZeroRun longest_zero_run(const unsigned* groups) {
    ZeroRun best, current;
    for (int i = 0; i <= 8; ++i) {
        if (i < 8 && groups[i] == 0) {
            if (current.base < 0) current = {i, 0};
            ++current.length;
        } else if (current.base >= 0) {
            if (current.length > best.length) best = current;
            current.base = -1;
        }
    }
    return best.length >= 2 ? best : ZeroRun{};
}

size_t write_hex_group(unsigned group, char* text) {
    static constexpr char kHex[] = "0123456789abcdef";
    size_t length = 0;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned digit = (group >> shift) & 0xF;
        if (length == 0 && digit == 0 && shift != 0) continue;
        text[length++] = kHex[digit];
    }
    return length;
}

// The text of the C library's inet_ntop(AF_INET6, ...), which socket.inet_ntop calls, without its
// sprintf per group: lowercase groups without leading zeros, the first longest zero run as "::",
// and the IPv4-compatible and IPv4-mapped forms ::a.b.c.d and ::ffff:a.b.c.d.
PyObject* ipv6_text(const uint8_t* address) {
    unsigned groups[8];
    for (size_t i = 0; i < 8; ++i) groups[i] = (unsigned{address[2 * i]} << 8) | address[2 * i + 1];
    ZeroRun zeros = longest_zero_run(groups);
    bool embeds_ipv4 = zeros.base == 0 && (zeros.length == 6 || (zeros.length == 5 && groups[5] == 0xFFFF));
    char text[INET6_ADDRSTRLEN];
    size_t length = 0;
    for (int i = 0; i < 8; ++i) {
        if (zeros.base >= 0 && i >= zeros.base && i < zeros.base + zeros.length) {
            if (i == zeros.base) text[length++] = ':';
            continue;
        }
        if (i != 0) text[length++] = ':';
        if (i == 6 && embeds_ipv4) {
            length += write_dotted_quad(address + 12, text + length);
            break;
        }
        length += write_hex_group(groups[i], text + length);
    }
    if (zeros.base >= 0 && zeros.base + zeros.length == 8) text[length++] = ':';
    return ascii_text(text, length);
}

// A direct-mapped cache of texts keyed by up to 16 raw bytes.
template <size_t Slots, size_t KeySize>
class TextCache {
public:
    TextCache() = default;
    TextCache(const TextCache&) = delete;
    TextCache& operator=(const TextCache&) = delete;
    ~TextCache() = default;

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

struct PacketTexts {
    long date_time_second = 0;
    Ref date_time;
    TextCache<31, 6> macs;
    TextCache<257, 4> ipv4;
    TextCache<61, 16> ipv6;

    PyObject* date_time_of(long seconds) {
        if (!date_time || seconds != date_time_second) {
            PyObject* text = local_date_time(seconds);
            if (text == nullptr) return nullptr;
            date_time.reset(text);
            date_time_second = seconds;
        }
        return Py_NewRef(date_time.get());
    }
    PyObject* mac(const uint8_t* bytes) { return macs.get(bytes, mac_text); }
    PyObject* address_v4(uint32_t wire_order) {
        return ipv4.get(reinterpret_cast<const uint8_t*>(&wire_order),
                        [](const uint8_t* key) {
                            uint32_t value = 0;
                            std::memcpy(&value, key, 4);
                            return ipv4_text(value);
                        });
    }
    PyObject* address_v6(const uint8_t* bytes) { return ipv6.get(bytes, ipv6_text); }
};

bool put_common(varnel::DictFill& dict, const PacketRecord& rec, PacketTexts& texts) {
    return put(dict, names.success, Py_NewRef(Py_True)) &&
           put(dict, names.timestamp, PyFloat_FromDouble(rec.timestamp)) &&
           put(dict, names.date_time, texts.date_time_of(rec.tv_sec)) &&
           put(dict, names.frame_length, PyLong_FromUnsignedLong(rec.frame_length)) &&
           put(dict, names.src_mac, texts.mac(rec.src_mac)) && put(dict, names.dst_mac, texts.mac(rec.dst_mac)) &&
           put(dict, names.ip_proto, PyLong_FromUnsignedLong(rec.ip_proto)) &&
           put(dict, names.ip_id, PyLong_FromLong(rec.ip_id)) &&
           put(dict, names.wrong_fragment, PyLong_FromLong(rec.wrong_fragment)) &&
           put(dict, names.land, PyLong_FromLong(rec.land)) &&
           put(dict, names.src_port, PyLong_FromUnsignedLong(rec.src_port)) &&
           put(dict, names.dst_port, PyLong_FromUnsignedLong(rec.dst_port));
}

bool put_addresses(varnel::DictFill& dict, const PacketRecord& rec, PacketTexts& texts) {
    if (rec.ip_version == 4) {
        return put(dict, names.version, Py_NewRef(names.ipv4)) &&
               put(dict, names.src_ip, texts.address_v4(rec.src_ip_v4)) &&
               put(dict, names.dst_ip, texts.address_v4(rec.dst_ip_v4));
    }
    return put(dict, names.version, Py_NewRef(names.ipv6)) &&
           put(dict, names.src_ip, texts.address_v6(rec.src_ip_v6)) &&
           put(dict, names.dst_ip, texts.address_v6(rec.dst_ip_v6));
}

bool put_protocol_group(varnel::DictFill& dict, const PacketRecord& rec, Group group) {
    if (!put(dict, names.protocol_type, Py_NewRef(names.protocol_names[group]))) return false;
    switch (group) {
        case kGroupTCP:
            return put(dict, names.tcp_flag, PyLong_FromUnsignedLong(rec.tcp_flags)) &&
                   put(dict, names.tcp_seq, PyLong_FromUnsignedLong(rec.tcp_seq)) &&
                   put(dict, names.tcp_ack, PyLong_FromUnsignedLong(rec.tcp_ack)) &&
                   put(dict, names.urgent, PyLong_FromLong(rec.urgent));
        case kGroupUDP: return put(dict, names.udp_length, PyLong_FromUnsignedLong(rec.udp_length));
        case kGroupICMP:
            return put(dict, names.icmp_type, PyLong_FromUnsignedLong(rec.icmp_type)) &&
                   put(dict, names.icmp_code, PyLong_FromUnsignedLong(rec.icmp_code));
        default: return true;
    }
}

// The packet dictionary of one decoded record: a new reference, or null with an exception set.
PyObject* _struct_to_dict(const PacketRecord* rec, PacketTexts& texts) {
    bool has_ip = rec->ip_version == 4 || rec->ip_version == 6;
    Group group = group_of(rec->ip_proto);
    varnel::DictFill dict(names.templates[has_ip][group]);
    if (!dict || !put_common(dict, *rec, texts)) return nullptr;
    if (has_ip && !put_addresses(dict, *rec, texts)) return nullptr;
    if (!put_protocol_group(dict, *rec, group)) return nullptr;
    return dict.release();
}

// ---- The two capture generators.

constexpr varnel::CaptureMessages kFileMessages{"Could not open file: ", "Could not read file: "};
constexpr varnel::CaptureMessages kDeviceMessages{"Could not open device: ", "Could not read from device: "};

class PacketStream final : public varnel::CaptureStream {
public:
    using CaptureStream::CaptureStream;

    PyObject* next_item() override {
        if (!ensure_open()) return nullptr;
        auto decode = [this](const pcap_pkthdr& header, const u_char* frame) {
            _parse_packet_c(&header, frame, &rec_);
            return rec_.is_valid != 0;
        };
        if (capture_.next(decode) != varnel::Capture::Status::Frame) return nullptr;
        return _struct_to_dict(&rec_, texts_);
    }

private:
    PacketRecord rec_{};
    PacketTexts texts_;
};

PyObject* new_packet_stream(const varnel::ArgumentName& argument, PyObject* name, varnel::Capture::Kind kind,
                            const varnel::CaptureMessages& messages, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* source = varnel::parse_bytes_or_none(argument, args, nargs, kwnames);
    if (source == nullptr) return nullptr;
    return varnel::new_generator(std::make_unique<PacketStream>(source, kind, messages), name, name);
}

PyObject* read_pcap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return new_packet_stream({"read_pcap", "file_path"}, names.read_pcap, varnel::Capture::Kind::File,
                             kFileMessages, args, nargs, kwnames);
}

PyObject* start_sniff(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return new_packet_stream({"start_sniff", "device_name"}, names.start_sniff, varnel::Capture::Kind::Live,
                             kDeviceMessages, args, nargs, kwnames);
}

PyMethodDef module_methods[] = {
    {"read_pcap", varnel::fastcall(read_pcap), METH_FASTCALL | METH_KEYWORDS,
     "read_pcap(file_path)\n--\n\n"
     "Yield one packet dictionary per IPv4 or IPv6 frame of a pcap or pcapng file, in file order.\n"
     "The file is opened at the first next() and closed when the generator ends or is closed."},
    {"start_sniff", varnel::fastcall(start_sniff), METH_FASTCALL | METH_KEYWORDS,
     "start_sniff(device_name)\n--\n\n"
     "Yield one packet dictionary per IPv4 or IPv6 frame captured live on a device, without end.\n"
     "The device is opened at the first next() and closed when the generator is closed or dropped."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "varnel.core.base.grapnel",
    "Packet dictionaries from pcap files and live devices, decoded natively through libpcap.", -1,
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

bool bind_module(PyObject* module, const char* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(name));
    return imported && PyModule_AddObjectRef(module, name, imported.get()) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_grapnel() {
    if (!varnel::ready_generator_type() || !intern_names() || !make_templates()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !bind_module(module.get(), "time") || !bind_module(module.get(), "socket")) return nullptr;
    return module.release();
}
