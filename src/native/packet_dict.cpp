#include "packet_dict.hpp"

#include "address_text.hpp"
#include "dict_template.hpp"
#include "int_cache.hpp"
#include "schema.hpp"

#include <cerrno>
#include <vector>

namespace varnel {
namespace {

// In the order of the schema's protocol indices.
enum Group { kGroupTCP, kGroupUDP, kGroupICMP, kGroupOthers, kGroupCount };
static_assert(kGroupTCP == schema::kTcpIndex && kGroupUDP == schema::kUdpIndex && kGroupICMP == schema::kIcmpIndex &&
              kGroupOthers == schema::kOthersIndex && kGroupCount == schema::kPacketProtocolNames.size());

constexpr schema::Group kSchemaGroups[kGroupCount] = {schema::Group::Tcp, schema::Group::Udp, schema::Group::Icmp,
                                                       schema::Group::All};

// Interned keys and constant values, made once at module load. The one instance lives in static
// storage, zero-initialised before the module loads.
struct Names {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject *success, *timestamp, *date_time, *frame_length, *src_mac, *dst_mac, *ip_proto, *ip_id,
        *wrong_fragment, *land, *src_port, *dst_port, *version, *src_ip, *dst_ip, *protocol_type, *tcp_flag,
        *tcp_seq, *tcp_ack, *urgent, *udp_length, *icmp_type, *icmp_code;
    PyObject *ipv4, *ipv6, *empty;
    PyObject* protocol_names[kGroupCount];
    // Every packet dictionary starts as a copy of one of these.
    DictTemplate templates[2][kGroupCount];  // [has IP version][group]
};
Names names;

Group group_of(uint8_t ip_proto) { return static_cast<Group>(schema::packet_protocol(ip_proto)); }

bool intern_names() {
    const InternedName entries[] = {
        {&names.success, "success"}, {&names.timestamp, "timestamp"}, {&names.date_time, "date_time"},
        {&names.frame_length, "frame_length"}, {&names.src_mac, "src_mac"}, {&names.dst_mac, "dst_mac"},
        {&names.ip_proto, "ip_proto"}, {&names.ip_id, "ip_id"}, {&names.wrong_fragment, "wrong_fragment"},
        {&names.land, "land"}, {&names.src_port, "src_port"}, {&names.dst_port, "dst_port"},
        {&names.version, "version"}, {&names.src_ip, "src_ip"}, {&names.dst_ip, "dst_ip"},
        {&names.protocol_type, "protocol_type"}, {&names.tcp_flag, "tcp_flag"}, {&names.tcp_seq, "tcp_seq"},
        {&names.tcp_ack, "tcp_ack"}, {&names.urgent, "urgent"}, {&names.udp_length, "udp_length"},
        {&names.icmp_type, "icmp_type"}, {&names.icmp_code, "icmp_code"}, {&names.ipv4, "IPv4"},
        {&names.ipv6, "IPv6"}, {&names.empty, ""},
    };
    if (!intern_all(entries)) return false;
    for (size_t group = 0; group < kGroupCount; ++group) {
        names.protocol_names[group] = intern(schema::kPacketProtocolNames[group].data());
        if (names.protocol_names[group] == nullptr) return false;
    }
    return true;
}

// The keys of a packet of `group`, in the order the field table gives.
bool make_template(bool has_ip, Group group, DictTemplate& result) {
    std::vector<Ref> keys;
    std::vector<PyObject*> key_objects;
    for (const schema::Field& field : schema::kPacketFields) {
        if (!schema::carries(field, has_ip, kSchemaGroups[group])) continue;
        keys.push_back(Ref::steal(PyUnicode_FromStringAndSize(field.name.data(), std::ssize(field.name))));
        if (!keys.back()) return false;
        PyObject* key = keys.back().release();
        PyUnicode_InternInPlace(&key);  // the same object as the interned name the fill uses
        keys.back().reset(key);
        key_objects.push_back(key);
    }
    return result.init(key_objects);
}

bool make_templates() {
    for (int has_ip = 0; has_ip < 2; ++has_ip) {
        for (int group = 0; group < kGroupCount; ++group) {
            if (!make_template(has_ip, static_cast<Group>(group), names.templates[has_ip][group])) return false;
        }
    }
    return true;
}

PyObject* ascii_text(const char* text, size_t length) {
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (result != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(result), text, length);
    return result;
}

// As time.localtime raises it, with the frame's time stamp added as a note.
PyObject* raise_date_time_error(long seconds) {
    PyErr_SetFromErrno(PyExc_OSError);
    PyObject* error = PyErr_GetRaisedException();
    Ref note = Ref::steal(PyUnicode_FromFormat("frame time stamp: %ld s", seconds));
    Ref added = note ? Ref::steal(PyObject_CallMethod(error, "add_note", "O", note.get())) : Ref();
    if (!added) PyErr_Clear();  // the error itself matters more than its note
    PyErr_SetRaisedException(error);
    return nullptr;
}

PyObject* local_date_time(long seconds) {
    char text[kDateTimeTextMaxSize + 1];
    size_t length = write_local_date_time(seconds, text);
    if (length == 0) return raise_date_time_error(seconds);
    return ascii_text(text, length);
}

PyObject* make_mac_text(const uint8_t* mac) {
    char text[kMacTextSize];
    return ascii_text(text, write_mac_text(mac, text));
}

PyObject* make_ipv4_text(const uint8_t* octets) {
    char text[kIpv4TextMaxSize];
    return ascii_text(text, write_ipv4_text(octets, text));
}

UIntCache& ints() { return shared_ints(); }

bool put_common(DictFill& dict, const PacketRecord& rec, PacketTexts& texts) {
    return put(dict, names.success, Py_NewRef(Py_True)) &&
           put(dict, names.timestamp, PyFloat_FromDouble(rec.timestamp)) &&
           put(dict, names.date_time, texts.date_time_of(rec.tv_sec)) &&
           put(dict, names.frame_length, ints().get(rec.frame_length)) &&
           put(dict, names.src_mac, texts.mac(rec.src_mac, rec.has_src_mac)) &&
           put(dict, names.dst_mac, texts.mac(rec.dst_mac, rec.has_dst_mac)) &&
           put(dict, names.ip_proto, ints().get(rec.ip_proto)) &&
           // The identification field is close to random per packet: a shared int would cost a cache
           // miss where a fresh one costs a quick allocation.
           put(dict, names.ip_id, PyLong_FromLong(rec.ip_id)) &&
           put(dict, names.wrong_fragment, ints().get(static_cast<uint32_t>(rec.wrong_fragment))) &&
           put(dict, names.land, ints().get(static_cast<uint32_t>(rec.land))) &&
           put(dict, names.src_port, ints().get(rec.src_port)) && put(dict, names.dst_port, ints().get(rec.dst_port));
}

bool put_addresses(DictFill& dict, const PacketRecord& rec, PacketTexts& texts) {
    if (rec.ip_version == 4) {
        return put(dict, names.version, Py_NewRef(names.ipv4)) &&
               put(dict, names.src_ip, texts.address_v4(rec.src_ip_v4)) &&
               put(dict, names.dst_ip, texts.address_v4(rec.dst_ip_v4));
    }
    return put(dict, names.version, Py_NewRef(names.ipv6)) &&
           put(dict, names.src_ip, texts.address_v6(rec.src_ip_v6)) &&
           put(dict, names.dst_ip, texts.address_v6(rec.dst_ip_v6));
}

bool put_protocol_group(DictFill& dict, const PacketRecord& rec, Group group) {
    if (!put(dict, names.protocol_type, Py_NewRef(names.protocol_names[group]))) return false;
    switch (group) {
        case kGroupTCP:
            return put(dict, names.tcp_flag, ints().get(rec.tcp_flags)) &&
                   put(dict, names.tcp_seq, PyLong_FromUnsignedLong(rec.tcp_seq)) &&
                   put(dict, names.tcp_ack, PyLong_FromUnsignedLong(rec.tcp_ack)) &&
                   put(dict, names.urgent, ints().get(static_cast<uint32_t>(rec.urgent)));
        case kGroupUDP: return put(dict, names.udp_length, ints().get(rec.udp_length));
        case kGroupICMP:
            return put(dict, names.icmp_type, ints().get(rec.icmp_type)) &&
                   put(dict, names.icmp_code, ints().get(rec.icmp_code));
        default: return true;
    }
}

}  // namespace

bool init_packet_dicts() { return intern_names() && make_templates() && shared_ints().fill(); }

PyObject* PacketTexts::date_time_of(long seconds) {
    if (!date_time || seconds != date_time_second) {
        PyObject* text = local_date_time(seconds);
        if (text == nullptr) return nullptr;
        date_time.reset(text);
        date_time_second = seconds;
    }
    return Py_NewRef(date_time.get());
}

// A link layer without such an address (raw IP, loopback, ...) gives an empty text.
PyObject* PacketTexts::mac(const uint8_t* bytes, bool present) {
    return present ? macs.get(bytes, make_mac_text) : Py_NewRef(names.empty);
}

PyObject* PacketTexts::address_v4(uint32_t wire_order) {
    return ipv4.get(reinterpret_cast<const uint8_t*>(&wire_order), make_ipv4_text);
}

PyObject* PacketTexts::make_ipv6_text(const uint8_t* bytes) {
    char text[kIpv6TextMaxSize];
    return ascii_text(text, write_ipv6_text(bytes, text));
}

PyObject* _struct_to_dict(const PacketRecord* rec, PacketTexts& texts) {
    bool has_ip = rec->ip_version == 4 || rec->ip_version == 6;
    Group group = group_of(rec->ip_proto);
    DictFill dict(names.templates[has_ip][group]);
    if (!dict || !put_common(dict, *rec, texts)) return nullptr;
    if (has_ip && !put_addresses(dict, *rec, texts)) return nullptr;
    if (!put_protocol_group(dict, *rec, group)) return nullptr;
    return dict.release();
}

}  // namespace varnel
