#include "file_filter.hpp"

#include <memory>

namespace varnel {

namespace {

struct DeadCloser {
    void operator()(pcap_t* handle) const noexcept { pcap_close(handle); }
};

}  // namespace

bool FileFilter::compile(const char* expression, int link_type, uint32_t snaplen, CaptureError* error) {
    if (expression_ != expression) {
        clear();
        expression_ = expression;
    }
    std::unique_ptr<pcap_t, DeadCloser> dead(pcap_open_dead(link_type, static_cast<int>(snaplen)));
    if (!dead) {
        error->kind = ErrorKind::FilterUnfit;
        error->text = "out of memory";
        return false;
    }
    bpf_program program{};
    if (pcap_compile(dead.get(), &program, expression, 1, PCAP_NETMASK_UNKNOWN) < 0) {
        error->kind = ErrorKind::FilterUnfit;
        error->text = pcap_geterr(dead.get());
        error->error_number = 0;
        return false;
    }
    programs_.push_back({link_type, program});
    last_ = nullptr;  // the vector may have moved
    return true;
}

void FileFilter::clear() noexcept {
    for (Compiled& compiled : programs_) pcap_freecode(&compiled.program);
    programs_.clear();
    last_ = nullptr;
    expression_.clear();
}

}  // namespace varnel
