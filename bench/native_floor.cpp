// The floor under any packet reader: libpcap reads every frame and the shared decoder fills the
// record, and nothing else happens (no interpreter objects). Prints, as one JSON line, the frame
// and valid-frame counts and the best process CPU time of `runs` passes over the file.
//
//   native_floor FILE [RUNS]
#include "varnel/core/base/grapnel.h"

#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

struct Pass {
    long frames = 0;
    long valid = 0;
    unsigned long checksum = 0;  // keeps the decoded fields live
    double cpu_seconds = 0;
};

double process_cpu_seconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool read_once(const char* path, Pass& pass) {
    char errbuf[PCAP_ERRBUF_SIZE];
    double started = process_cpu_seconds();
    pcap_t* handle = pcap_open_offline(path, errbuf);
    if (handle == nullptr) {
        std::fprintf(stderr, "native_floor: %s\n", errbuf);
        return false;
    }
    PacketRecord rec{};
    pcap_pkthdr* header;
    const u_char* frame;
    int status;
    while ((status = pcap_next_ex(handle, &header, &frame)) == 1) {
        ++pass.frames;
        _parse_packet_c(header, frame, &rec);
        if (rec.is_valid) {
            ++pass.valid;
            pass.checksum += rec.src_port + rec.dst_port + rec.ip_proto + rec.dst_ip_v4 + rec.tcp_seq;
        }
    }
    bool ok = status == PCAP_ERROR_BREAK;
    if (!ok) std::fprintf(stderr, "native_floor: %s\n", pcap_geterr(handle));
    pcap_close(handle);
    pass.cpu_seconds = process_cpu_seconds() - started;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: native_floor FILE [RUNS]\n");
        return 2;
    }
    int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    Pass best;
    for (int run = 0; run < runs; ++run) {
        Pass pass;
        if (!read_once(argv[1], pass)) return 1;
        if (run == 0 || pass.cpu_seconds < best.cpu_seconds) best = pass;
    }
    std::printf("{\"frames\": %ld, \"valid\": %ld, \"cpu_seconds\": %.6f, \"checksum\": %lu}\n", best.frames,
                best.valid, best.cpu_seconds, best.checksum);
    return 0;
}
