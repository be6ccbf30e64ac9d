// A filter expression for our own file reader: libpcap compiles it (pcap_open_dead +
// pcap_compile, as tcpdump would for a file of that link type) and pcap_offline_filter runs it on
// our records, so a filter selects exactly the frames it selects under libpcap. A pcapng file may
// hold several link types: the expression is compiled once per link type met, and kept.
#pragma once

#include "capture_error.hpp"
#include "capture_file.hpp"

#include <pcap/pcap.h>

#include <algorithm>
#include <string>
#include <vector>

namespace varnel {

class FileFilter {
public:
    FileFilter() = default;
    FileFilter(const FileFilter&) = delete;
    FileFilter& operator=(const FileFilter&) = delete;
    ~FileFilter() { clear(); }

    // Compiles `expression` for records of `link_type`; false with kind FilterUnfit and libpcap's
    // text in *error (its subject is left to the caller, who knows the file). A new expression
    // drops the programs of the old one.
    bool compile(const char* expression, int link_type, uint32_t snaplen, CaptureError* error);
    // Makes sure the expression last compiled has a program for `record`'s link type.
    bool prepare(const FileRecord& record, CaptureError* error) {
        return ready_for(record.link_type) || compile(expression_.c_str(), record.link_type, record.snaplen, error);
    }
    bool ready_for(int link_type) const noexcept { return find(link_type) != nullptr; }
    // Whether the record passes; a record of a link type without a program (see prepare) does not.
    bool matches(const FileRecord& record) const noexcept {
        const bpf_program* program = find(record.link_type);
        return program != nullptr && pcap_offline_filter(program, &record.header, record.bytes) != 0;
    }
    void clear() noexcept;

private:
    struct Compiled {
        int link_type;
        bpf_program program;
    };
    const bpf_program* find(int link_type) const noexcept {
        if (last_ != nullptr && last_->link_type == link_type) return &last_->program;
        auto found = std::find_if(programs_.begin(), programs_.end(),
                                  [link_type](const Compiled& compiled) { return compiled.link_type == link_type; });
        if (found == programs_.end()) return nullptr;
        last_ = &*found;
        return &found->program;
    }

    std::string expression_;
    std::vector<Compiled> programs_;
    mutable const Compiled* last_ = nullptr;
};

}  // namespace varnel
