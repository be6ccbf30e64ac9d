// The one frame loop: read a frame from the source, find its network packet through the link
// layer's row, decode it into the record. Every sink (packet dicts, feature rows, column batches)
// is driven by it. It never calls into the interpreter: what it meets comes back as an outcome
// for the caller to act on, so it can also run with the interpreter lock released.
#pragma once

#include "source.hpp"
#include "link_layer.hpp"

#include <cstdint>

namespace varnel {

enum class Outcome {
    Frame,       // the record holds a decoded IPv4 or IPv6 frame
    End,         // the file ended
    Damaged,     // the file is damaged here (libpcap's reason in source().error())
    Failed,      // the live device failed (reason in source().error())
    Checkpoint,  // another batch of frames was read: a moment to check signals
    Idle,        // nothing to read yet (an idle device, a pipe's writer): wait on the source, then ask again
};

// What became of the frames read so far.
struct FrameCounts {
    uint64_t read = 0;      // delivered by libpcap, after any filter
    uint64_t decoded = 0;   // IPv4 or IPv6, handed on
    uint64_t not_ip = 0;
    uint64_t vlan_tagged = 0;
    uint64_t too_short = 0;
    uint64_t unsupported_link = 0;  // read from a capture whose link type no row decodes
};

// How far the loop decodes a frame: into the packet record, or only to where its IP packet starts
// (packet()), for a sink that reads its headers itself.
enum class FrameDecode : uint8_t { Packet, NetworkStart };

class FrameLoop {
public:
    static constexpr unsigned kFramesPerCheckpoint = 4096;

    explicit FrameLoop(FrameDecode decode = FrameDecode::Packet) noexcept : decode_(decode) {}

    // The last frame delivered, with FrameDecode::NetworkStart; valid until the next read.
    const packet_decoding::NetworkPacket& packet() const noexcept { return packet_; }

    Source& source() noexcept { return source_; }
    const Source& source() const noexcept { return source_; }
    const FrameCounts& counts() const noexcept { return counts_; }

    // Chooses the link layer of the source just opened; false when no row decodes its link type
    // (its frames are then read and counted, never decoded). A pcapng file may bring other link
    // types later: each frame is decoded by its own interface's.
    bool bind(const packet_decoding::LinkOptions& options) noexcept {
        options_ = options;
        link_type_ = source_.link_type();
        link_ = packet_decoding::find_link_layer(link_type_);
        decodes_first_ = link_ != nullptr;
        until_checkpoint_ = kFramesPerCheckpoint;
        return decodes_first_;
    }

    Outcome next(PacketRecord& rec) noexcept {
        for (;;) {
            if (--until_checkpoint_ == 0) {
                until_checkpoint_ = kFramesPerCheckpoint;
                return Outcome::Checkpoint;
            }
            const pcap_pkthdr* header = nullptr;
            const u_char* frame = nullptr;
            int frame_link_type = link_type_;
            switch (source_.read(&header, &frame, &frame_link_type)) {
                case ReadResult::Frame: break;
                case ReadResult::Filtered: continue;
                case ReadResult::Idle:
                case ReadResult::WouldBlock: ++until_checkpoint_; return Outcome::Idle;
                case ReadResult::End: return Outcome::End;
                // Nothing of a capture of an unsupported link type was decoded, so its damage
                // loses nothing; the one warning about its link type says it all.
                case ReadResult::Damaged: return decodes_first_ ? Outcome::Damaged : Outcome::End;
                case ReadResult::Failed: return Outcome::Failed;
            }
            ++counts_.read;
            if (frame_link_type != link_type_) rebind(frame_link_type);
            if (take(header, frame, rec)) return Outcome::Frame;
        }
    }

private:
    void rebind(int link_type) noexcept {
        link_type_ = link_type;
        link_ = packet_decoding::find_link_layer(link_type);
    }

    bool take(const pcap_pkthdr* header, const u_char* frame, PacketRecord& rec) noexcept {
        using packet_decoding::LinkOutcome;
        if (link_ == nullptr) {
            ++counts_.unsupported_link;
            return false;
        }
        const LinkOutcome outcome = decode_ == FrameDecode::Packet
                                        ? packet_decoding::decode_frame(*link_, options_, header, frame, &rec)
                                        : packet_decoding::locate_packet(*link_, options_, header, frame, &packet_);
        switch (outcome) {
            case LinkOutcome::IPv4:
            case LinkOutcome::IPv6: ++counts_.decoded; return true;
            case LinkOutcome::NotIP: ++counts_.not_ip; return false;
            case LinkOutcome::VlanTagged: ++counts_.vlan_tagged; return false;
            case LinkOutcome::TooShort: ++counts_.too_short; return false;
        }
        return false;
    }

    Source source_;
    FrameDecode decode_;
    packet_decoding::NetworkPacket packet_;
    const packet_decoding::LinkLayer* link_ = nullptr;
    int link_type_ = -1;
    bool decodes_first_ = false;  // a row decodes the link type the capture opened with
    packet_decoding::LinkOptions options_;
    FrameCounts counts_;
    unsigned until_checkpoint_ = kFramesPerCheckpoint;
};

}  // namespace varnel
