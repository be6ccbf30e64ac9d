// Reading pcapng: the section header at open, then blocks one at a time. The checks, their order
// and their texts are libpcap's (sf-pcapng.c of libpcap 1.10), with three things it refuses read
// on: interfaces of another link type or snapshot length than the first one (each record carries
// its own interface's), and sections in the other byte order.
#include "capture_file.hpp"

#include "link_types.hpp"
#include "pseudo_header.hpp"

#include <cstring>

namespace varnel {

namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kObsoletePacket = 2;
constexpr uint32_t kSimplePacket = 3;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;

constexpr size_t kBlockHeaderSize = 8;   // type, total length
constexpr size_t kBlockTrailerSize = 4;  // total length again
constexpr size_t kSectionFixedSize = 16;  // byte-order magic, version, section length
constexpr uint32_t kSectionMaxSize = 1024 * 1024;
constexpr size_t kInterfaceFixedSize = 8;
constexpr size_t kPacketFixedSize = 20;  // enhanced and obsolete packet blocks alike
constexpr size_t kSimpleFixedSize = 4;
constexpr uint32_t kInitialMaxBlockSize = 16 * 1024 * 1024;
constexpr uint64_t kMicroseconds = 1000000;
constexpr uint64_t kNanoseconds = 1000000000;

constexpr uint16_t kEndOfOptions = 0;
constexpr uint16_t kTimeResolution = 9;
constexpr uint16_t kTimeOffset = 14;

// The largest block libpcap accepts once an interface of a link type is known: a packet block
// with the type's largest record and room for options.
uint32_t max_block_size_for(int dlt) {
    return static_cast<uint32_t>(kBlockHeaderSize + kPacketFixedSize + link_types::max_snaplen(dlt) + 131072 +
                                 kBlockTrailerSize);
}

bool is_packet_block(uint32_t type) {
    return type == kEnhancedPacket || type == kSimplePacket || type == kObsoletePacket;
}

}  // namespace

FileOpen CaptureFile::open_pcapng_header() {
    const size_t known = kBlockHeaderSize + 4;  // type, length and byte-order magic
    switch (input_.ensure(known)) {
        case Fill::WouldBlock: return FileOpen::Pending;
        case Fill::Failed:
            error_.text = input_.failure_errno() != 0
                              ? std::string("error reading dump file: ") + std::strerror(input_.failure_errno())
                              : input_.failure_text();
            return open_failed(ErrorKind::Unreadable, input_.failure_errno());
        case Fill::End:  // too short to be anything but text
            set_text("unknown file format");
            return open_failed(ErrorKind::UnknownFormat);
        case Fill::Ready: break;
    }
    const uint8_t* at = input_.cursor();
    const uint32_t order = u32(at + 8, false);
    if (order != kByteOrderMagic && __builtin_bswap32(order) != kByteOrderMagic) {
        set_text("unknown file format");
        return open_failed(ErrorKind::UnknownFormat);
    }
    swapped_ = order != kByteOrderMagic;
    const uint32_t total_length = u32(at + 4);
    const size_t smallest = kBlockHeaderSize + kSectionFixedSize + kBlockTrailerSize;
    if (total_length < smallest || total_length > kSectionMaxSize) {
        set_text("Section Header Block in pcapng dump file has invalid length %zu < _%u_ < %u (BT_SHB_INSANE_MAX)",
                 smallest, total_length, kSectionMaxSize);
        return open_failed(ErrorKind::Unreadable);
    }
    switch (input_.ensure(total_length)) {
        case Fill::WouldBlock: return FileOpen::Pending;
        case Fill::Failed:
            error_.text = input_.failure_errno() != 0
                              ? std::string("error reading dump file: ") + std::strerror(input_.failure_errno())
                              : input_.failure_text();
            return open_failed(ErrorKind::Unreadable, input_.failure_errno());
        case Fill::End:
            set_text("truncated pcapng dump file; tried to read %zu bytes, only got %zu", total_length - known,
                     input_.available() - known);
            return open_failed(ErrorKind::Unreadable);
        case Fill::Ready: break;
    }
    const unsigned major = u16(input_.cursor() + 12);
    const unsigned minor = u16(input_.cursor() + 14);
    // Version 1.2 is written by programs that add block types, and read as 1.0.
    if (!(major == 1 && (minor == 0 || minor == 2))) {
        set_text("unsupported pcapng savefile version %u.%u", major, minor);
        return open_failed(ErrorKind::Unreadable);
    }
    input_.consume(total_length);
    format_ = Format::Pcapng;
    max_block_size_ = kInitialMaxBlockSize;
    stage_ = Stage::FirstInterface;
    return FileOpen::Opened;
}

// Blocks before the first interface: other kinds are skipped, packets are an error.
FileOpen CaptureFile::open_stage_first_interface() {
    for (;;) {
        BlockView block{};
        switch (read_block(&block)) {
            case Block::WouldBlock: return FileOpen::Pending;
            case Block::Damaged: return open_failed(ErrorKind::Unreadable, error_.error_number);
            case Block::End:
                set_text("the capture file has no Interface Description Blocks");
                return open_failed(ErrorKind::Unreadable);
            case Block::Ready: break;
        }
        if (block.type == kInterfaceDescription) {
            if (!add_interface(block, false)) return open_failed(ErrorKind::Unreadable);
            input_.consume(block.total_length);
            return opened();
        }
        if (is_packet_block(block.type)) {
            set_text("the capture file has a packet block before any Interface Description Blocks");
            return open_failed(ErrorKind::Unreadable);
        }
        input_.consume(block.total_length);
    }
}

// For a byte range: the blocks between the first interface and the first packet (more
// interfaces, name resolution, ...) are taken in as next() would.
bool CaptureFile::skip_to_first_record() {
    for (;;) {
        if (input_.ensure(kBlockHeaderSize) != Fill::Ready || is_packet_block(u32(input_.cursor()))) return true;
        BlockView block{};
        if (read_block(&block) != Block::Ready) return error_.text.empty();
        if (!absorb(block)) return false;
    }
}

CaptureFile::Block CaptureFile::read_block(BlockView* block) {
    Fill fill = input_.ensure(kBlockHeaderSize);
    if (fill == Fill::Ready && stage_ == Stage::Records && u32(input_.cursor()) == kSectionHeader) {
        fill = input_.ensure(kBlockHeaderSize + 4);  // a new section may change the byte order
        if (fill == Fill::End) fill = Fill::Ready;
    }
    switch (fill) {
        case Fill::WouldBlock: return Block::WouldBlock;
        case Fill::Failed:
            error_.text = input_.failure_errno() != 0
                              ? std::string("error reading dump file: ") + std::strerror(input_.failure_errno())
                              : input_.failure_text();
            error_.error_number = input_.failure_errno();
            return Block::Damaged;
        case Fill::End:
            if (input_.available() == 0) return Block::End;
            set_text("truncated pcapng dump file; tried to read %zu bytes, only got %zu", kBlockHeaderSize,
                     input_.available());
            return Block::Damaged;
        case Fill::Ready: break;
    }
    const uint8_t* at = input_.cursor();
    bool swapped = swapped_;
    const uint32_t type = u32(at, swapped);
    if (type == kSectionHeader && stage_ == Stage::Records && input_.available() >= kBlockHeaderSize + 4 &&
        u32(at + 8, swapped) == __builtin_bswap32(kByteOrderMagic)) {
        swapped = !swapped;
    }
    const uint32_t total_length = u32(at + 4, swapped);
    if (total_length < kBlockHeaderSize + kBlockTrailerSize) {
        set_text("block in pcapng dump file has a length of %u < %zu", total_length,
                 kBlockHeaderSize + kBlockTrailerSize);
        return Block::Damaged;
    }
    if (total_length % 4 != 0) {
        set_text("block in pcapng dump file has a length of %u that is not a multiple of 4", total_length);
        return Block::Damaged;
    }
    if (total_length > max_block_size_) {
        set_text("pcapng block size %u > maximum %u", total_length, max_block_size_);
        return Block::Damaged;
    }
    fill = input_.ensure(total_length);
    if (fill == Fill::End) {
        set_text("truncated pcapng dump file; tried to read %zu bytes, only got %zu",
                 size_t{total_length} - kBlockHeaderSize, input_.available() - kBlockHeaderSize);
        return Block::Damaged;
    }
    if (fill != Fill::Ready) return read_block_trouble(fill);
    uint8_t* whole = input_.writable_cursor();
    if (u32(whole + total_length - kBlockTrailerSize, swapped) != total_length) {
        set_text("block total length in header and trailer don't match");
        return Block::Damaged;
    }
    *block = BlockView{type, total_length, whole + kBlockHeaderSize,
                       total_length - kBlockHeaderSize - kBlockTrailerSize, swapped};
    return Block::Ready;
}

CaptureFile::Block CaptureFile::read_block_trouble(Fill fill) {
    if (fill == Fill::WouldBlock) return Block::WouldBlock;
    error_.text = input_.failure_errno() != 0
                      ? std::string("error reading dump file: ") + std::strerror(input_.failure_errno())
                      : input_.failure_text();
    error_.error_number = input_.failure_errno();
    return Block::Damaged;
}

bool CaptureFile::too_short(uint32_t block_type) {
    set_text("block of type %u in pcapng dump file is too short", block_type);
    return false;
}

bool CaptureFile::add_interface(const BlockView& block, bool in_records) {
    if (block.body_length < kInterfaceFixedSize) return too_short(block.type);
    Interface interface{};
    interface.link_type = link_types::dlt_of(u16(block.body));
    interface.snaplen = link_types::adjusted_snaplen(interface.link_type, u32(block.body + 4));
    if (!read_interface_options(block, &interface)) return false;
    if (interface.resolution != kMicroseconds) {
        const bool binary = interface.scale == Scale::Binary;
        if (!binary && interface.resolution > kMicroseconds) {
            interface.scale = Scale::DownDecimal;
            interface.factor = interface.resolution / kMicroseconds;
        } else if (!binary) {
            interface.scale = Scale::UpDecimal;
            interface.factor = kMicroseconds / interface.resolution;
        }
    }
    interface.fix_pseudo_header = pseudo_header::needs_fixing(interface.link_type, swapped_);
    if (!in_records) {
        first_link_type_ = interface.link_type;
        first_snaplen_ = interface.snaplen;
    }
    max_block_size_ = std::max(max_block_size_, max_block_size_for(interface.link_type));
    interfaces_.push_back(interface);
    return true;
}

// if_tsresol and if_tsoffset; the rest is skipped. Option codes and lengths are in the section's
// byte order, values padded to four bytes.
bool CaptureFile::read_interface_options(const BlockView& block, Interface* interface) {
    const uint8_t* options = block.body + kInterfaceFixedSize;
    const size_t length = block.body_length - kInterfaceFixedSize;
    bool saw_resolution = false;
    bool saw_offset = false;
    size_t at = 0;
    while (at != length) {
        if (length - at < 4) return too_short(block.type);
        const unsigned code = u16(options + at);
        const unsigned option_length = u16(options + at + 2);
        at += 4;
        const size_t padded = (size_t{option_length} + 3) / 4 * 4;
        if (length - at < padded) return too_short(block.type);
        const uint8_t* value = options + at;
        at += padded;
        if (code == kEndOfOptions) {
            if (option_length == 0) return true;
            set_text("Interface Description Block has opt_endofopt option with length %u != 0", option_length);
            return false;
        }
        if (code == kTimeResolution) {
            if (option_length != 1) {
                set_text("Interface Description Block has if_tsresol option with length %u != 1", option_length);
                return false;
            }
            if (saw_resolution) {
                set_text("Interface Description Block has more than one if_tsresol option");
                return false;
            }
            saw_resolution = true;
            const unsigned exponent = value[0] & 0x7F;
            if ((value[0] & 0x80) != 0) {  // a negative power of 2
                if (exponent > 63) {
                    set_text("Interface Description Block if_tsresol option resolution 2^-%u is too high", exponent);
                    return false;
                }
                interface->resolution = uint64_t{1} << exponent;
                interface->scale = Scale::Binary;
            } else {
                if (value[0] > 19) {
                    set_text("Interface Description Block if_tsresol option resolution 10^-%u is too high",
                             unsigned{value[0]});
                    return false;
                }
                interface->resolution = 1;
                for (unsigned power = 0; power < value[0]; ++power) interface->resolution *= 10;
                interface->scale = Scale::Same;
            }
        } else if (code == kTimeOffset) {
            if (option_length != 8) {
                set_text("Interface Description Block has if_tsoffset option with length %u != 8", option_length);
                return false;
            }
            if (saw_offset) {
                set_text("Interface Description Block has more than one if_tsoffset option");
                return false;
            }
            saw_offset = true;
            interface->offset = u64(value);
        }
    }
    return true;
}

bool CaptureFile::start_section(const BlockView& block) {
    if (block.body_length < kSectionFixedSize) return too_short(block.type);
    const uint32_t order = u32(block.body, block.swapped);
    if (order == __builtin_bswap32(kByteOrderMagic)) {
        set_text("the file has sections with different byte orders");
        return false;
    }
    if (order != kByteOrderMagic) {
        set_text("the file has a section with a bad byte order magic field");
        return false;
    }
    uint16_t major = 0;
    std::memcpy(&major, block.body + 4, sizeof major);
    if (block.swapped) major = __builtin_bswap16(major);
    if (major != 1) {
        set_text("unknown pcapng savefile major version number %u", unsigned{major});
        return false;
    }
    swapped_ = block.swapped;
    interfaces_.clear();
    return true;
}

// A block that is not a packet: a new section or interface is taken in, anything else skipped.
bool CaptureFile::absorb(const BlockView& block) {
    if (block.type == kInterfaceDescription || block.type == kSectionHeader) {
        header_after_records_ = header_after_records_ || seen_records_;
        if (block.type == kInterfaceDescription ? !add_interface(block, true) : !start_section(block)) return false;
    }
    input_.consume(block.total_length);
    return true;
}

FileRead CaptureFile::next_pcapng(FileRecord* record) {
    for (;;) {
        BlockView block{};
        switch (read_block(&block)) {
            case Block::End: return FileRead::End;
            case Block::WouldBlock: return FileRead::WouldBlock;
            case Block::Damaged: return damaged(error_.error_number);
            case Block::Ready: break;
        }
        if (is_packet_block(block.type)) return packet_from(block, record);
        if (!absorb(block)) return damaged();
    }
}

// The fixed fields of a packet block of any of the three kinds; false when the block is too short
// for them.
bool CaptureFile::packet_fields(const BlockView& block, PacketFields* fields) const {
    const uint8_t* body = block.body;
    if (block.type == kSimplePacket) {
        if (block.body_length < kSimpleFixedSize) return false;
        // No interface (the first), no time stamp, and as much of the packet as its snapshot length keeps.
        *fields = PacketFields{0, 0, 0, u32(body), kSimpleFixedSize};
        if (!interfaces_.empty()) fields->caplen = std::min(fields->len, interfaces_[0].snaplen);
        return true;
    }
    if (block.body_length < kPacketFixedSize) return false;
    const uint32_t interface_id = block.type == kEnhancedPacket ? u32(body) : u16(body);
    *fields = PacketFields{interface_id, uint64_t{u32(body + 4)} << 32 | u32(body + 8), u32(body + 12), u32(body + 16),
                           kPacketFixedSize};
    return true;
}

FileRead CaptureFile::packet_from(const BlockView& block, FileRecord* record) {
    PacketFields fields{};
    if (!packet_fields(block, &fields)) {
        too_short(block.type);
        return damaged();
    }
    if (fields.interface_id >= interfaces_.size()) {
        set_text("a packet arrived on interface %u, but there's no Interface Description Block for that interface",
                 fields.interface_id);
        return damaged();
    }
    const Interface& interface = interfaces_[fields.interface_id];
    if (fields.caplen > interface.snaplen) {
        set_text("invalid packet capture length %u, bigger than snaplen of %d", fields.caplen,
                 static_cast<int>(interface.snaplen));
        return damaged();
    }
    if (block.body_length - fields.fixed_size < fields.caplen) {
        too_short(block.type);
        return damaged();
    }
    pcap_pkthdr& header = record->header;
    set_time(interface, fields.stamp, &header);
    header.caplen = fields.caplen;
    header.len = fields.len;
    uint8_t* bytes = block.body + fields.fixed_size;
    record_offset_ = input_.position();
    input_.consume(block.total_length);
    seen_records_ = true;
    if (interface.fix_pseudo_header) pseudo_header::fix(interface.link_type, swapped_, &header, bytes);
    record->bytes = bytes;
    record->link_type = interface.link_type;
    record->snaplen = interface.snaplen;
    return FileRead::Record;
}

// Seconds and fraction in the interface's resolution, the fraction scaled to microseconds with
// libpcap's 64-bit arithmetic (overflow included) and kept as an int.
void CaptureFile::set_time(const Interface& interface, uint64_t stamp, pcap_pkthdr* header) const {
    // Microseconds and nanoseconds are the common resolutions: a division by a constant is a
    // multiplication, by a variable tens of cycles.
    if (interface.resolution == kMicroseconds) {
        header->ts.tv_sec = static_cast<time_t>(stamp / kMicroseconds + interface.offset);
        header->ts.tv_usec = static_cast<int>(stamp % kMicroseconds);
        return;
    }
    if (interface.resolution == kNanoseconds) {
        header->ts.tv_sec = static_cast<time_t>(stamp / kNanoseconds + interface.offset);
        header->ts.tv_usec = static_cast<int>(stamp % kNanoseconds / (kNanoseconds / kMicroseconds));
        return;
    }
    const uint64_t seconds = stamp / interface.resolution + interface.offset;
    uint64_t fraction = stamp % interface.resolution;
    switch (interface.scale) {
        case Scale::Same: break;
        case Scale::UpDecimal: fraction *= interface.factor; break;
        case Scale::DownDecimal: fraction /= interface.factor; break;
        case Scale::Binary: fraction = fraction * kMicroseconds / interface.resolution; break;
    }
    header->ts.tv_sec = static_cast<time_t>(seconds);
    header->ts.tv_usec = static_cast<int>(fraction);
}

}  // namespace varnel
