// The floor under reading a capture file, decoding nothing: libpcap's pcap_next, and the core's
// own CaptureFile::next, each touching one byte of every frame. Prints, as one JSON line, the
// frame count and the best process CPU time of `runs` passes of each, taking turns. A file libpcap
// cannot open (a compressed one) is read by CaptureFile alone; libpcap's figures are then null.
//
//   read_floor FILE [RUNS] [--ours-only]
//
// --ours-only: CaptureFile alone, and the process's peak resident memory with it, which stays
// the same whatever the file's size.
#include "capture_file.hpp"

#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct Pass {
    long frames = 0;
    unsigned long touched = 0;  // keeps the byte reads live
    double cpu_seconds = 0;
};

double process_cpu_seconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The process's peak resident memory (VmHWM), in KiB. Not getrusage: its peak carries over from
// the process that started this one.
long peak_resident_kib() {
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long peak = -1;
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) peak = std::strtol(line + 6, nullptr, 10);
    }
    if (status != nullptr) std::fclose(status);
    return peak;
}

bool read_with_libpcap(const char* path, Pass& pass) {
    char errbuf[PCAP_ERRBUF_SIZE];
    double started = process_cpu_seconds();
    pcap_t* handle = pcap_open_offline(path, errbuf);
    if (handle == nullptr) return false;
    pcap_pkthdr header;
    const u_char* frame;
    while ((frame = pcap_next(handle, &header)) != nullptr) {
        ++pass.frames;
        pass.touched += header.caplen != 0 ? frame[header.caplen - 1] : 0;
    }
    pcap_close(handle);
    pass.cpu_seconds = process_cpu_seconds() - started;
    return true;
}

bool read_with_capture_file(const char* path, Pass& pass) {
    double started = process_cpu_seconds();
    varnel::CaptureFile file;
    if (file.open_path(path) != varnel::FileOpen::Opened) {
        std::fprintf(stderr, "read_floor: %s\n", file.error().text.c_str());
        return false;
    }
    varnel::FileRecord record;
    varnel::FileRead status;
    while ((status = file.next(&record)) == varnel::FileRead::Record) {
        ++pass.frames;
        pass.touched += record.header.caplen != 0 ? record.bytes[record.header.caplen - 1] : 0;
    }
    if (status != varnel::FileRead::End) std::fprintf(stderr, "read_floor: %s\n", file.error().text.c_str());
    file.close();
    pass.cpu_seconds = process_cpu_seconds() - started;
    return status == varnel::FileRead::End;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: read_floor FILE [RUNS]\n");
        return 2;
    }
    int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    Pass best_libpcap, best_ours;
    bool libpcap_reads = !(argc > 3 && std::strcmp(argv[3], "--ours-only") == 0);
    for (int run = 0; run < runs; ++run) {
        Pass libpcap, ours;
        libpcap_reads = libpcap_reads && read_with_libpcap(argv[1], libpcap);
        if (!read_with_capture_file(argv[1], ours)) return 1;
        if (run == 0 || libpcap.cpu_seconds < best_libpcap.cpu_seconds) best_libpcap = libpcap;
        if (run == 0 || ours.cpu_seconds < best_ours.cpu_seconds) best_ours = ours;
    }
    if (libpcap_reads) {
        std::printf("{\"libpcap_frames\": %ld, \"libpcap_cpu_seconds\": %.6f, ", best_libpcap.frames,
                    best_libpcap.cpu_seconds);
    } else {
        std::printf("{\"libpcap_frames\": null, \"libpcap_cpu_seconds\": null, ");
    }
    std::printf("\"ours_frames\": %ld, \"ours_cpu_seconds\": %.6f, \"touched\": %lu, \"max_rss_kib\": %ld}\n",
                best_ours.frames, best_ours.cpu_seconds, best_libpcap.touched + best_ours.touched, peak_resident_kib());
    return 0;
}
