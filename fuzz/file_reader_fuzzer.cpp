// libFuzzer harness for the core's own capture-file reader: each input is a whole file (pcap,
// pcapng, or compressed), held in a memory file and read
//   - with CaptureFile::open_path and next() to the end, every record's bytes touched, and
//     compared with libpcap's pcap_next_ex on the same file: the same records (time stamp,
//     lengths, bytes), the same ending and the same text, except where libpcap refuses what the
//     reader reads on purpose (interfaces of other link types or snapshot lengths, sections in the
//     other byte order, compressed input);
//   - in the pieces split_points gives (a split size taken from the input's length), each with
//     open_range, which together must give the same records as the whole read;
//   - in the pieces it guesses, read until one ends with damage: while every piece before the
//     last ends cleanly the next one's start is proved, so what they give must be the whole read
//     (all pieces read) or its beginning (one ended with damage).
// A difference aborts: it is a finding like a crash.
#include "capture_file.hpp"

#include <pcap/pcap.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Frame {
    long seconds, microseconds;
    uint32_t caplen, len;
    std::string bytes;
    bool operator==(const Frame&) const = default;
};

struct Reading {
    bool opened = false;
    bool damaged = false;
    std::string text;
    std::vector<Frame> frames;
};

int input_fd = -1;
std::string input_path;

[[noreturn]] void finding(const char* what, const std::string& detail) {
    std::fprintf(stderr, "file_reader_fuzzer: %s: %s\n", what, detail.c_str());
    std::abort();
}

void write_input(const uint8_t* data, size_t size) {
    if (ftruncate(input_fd, 0) != 0) finding("ftruncate", std::strerror(errno));
    for (size_t written = 0; written < size;) {
        ssize_t count = pwrite(input_fd, data + written, size - written, static_cast<off_t>(written));
        if (count <= 0) finding("pwrite", std::strerror(errno));
        written += static_cast<size_t>(count);
    }
}

Reading read_with_libpcap() {
    Reading reading;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_open_offline(input_path.c_str(), errbuf);
    if (handle == nullptr) {
        reading.text = errbuf;
        return reading;
    }
    reading.opened = true;
    pcap_pkthdr* header;
    const u_char* bytes;
    int status;
    while ((status = pcap_next_ex(handle, &header, &bytes)) == 1) {
        reading.frames.push_back({header->ts.tv_sec, header->ts.tv_usec, header->caplen, header->len,
                                  std::string(reinterpret_cast<const char*>(bytes), header->caplen)});
    }
    if (status != PCAP_ERROR_BREAK) {
        reading.damaged = true;
        reading.text = pcap_geterr(handle);
    }
    pcap_close(handle);
    return reading;
}

void read_records(varnel::CaptureFile& file, Reading* reading) {
    varnel::FileRecord record{};
    varnel::FileRead status;
    while ((status = file.next(&record)) == varnel::FileRead::Record) {
        reading->frames.push_back({record.header.ts.tv_sec, record.header.ts.tv_usec, record.header.caplen,
                                   record.header.len,
                                   std::string(reinterpret_cast<const char*>(record.bytes), record.header.caplen)});
    }
    if (status == varnel::FileRead::WouldBlock) finding("a regular file would block", "");
    if (status == varnel::FileRead::Damaged) {
        reading->damaged = true;
        reading->text = file.error().text;
    }
}

Reading read_with_ours() {
    Reading reading;
    varnel::CaptureFile file;
    varnel::FileOpen outcome = file.open_path(input_path.c_str());
    if (outcome == varnel::FileOpen::Pending) finding("a regular file is pending", "");
    if (outcome == varnel::FileOpen::Failed) {
        reading.text = file.error().text;
        return reading;
    }
    reading.opened = true;
    read_records(file, &reading);
    return reading;
}

// The pieces read in turn up to the first that ends with damage; `last_read` says whether that
// was the last piece (or none was damaged).
Reading read_in_pieces(uint64_t split_bytes, varnel::Cuts cuts, bool* last_read) {
    Reading reading;
    std::vector<std::pair<uint64_t, uint64_t>> pieces;
    varnel::CaptureError error;
    *last_read = true;
    if (!varnel::split_points(input_path.c_str(), split_bytes, cuts, &pieces, &error)) {
        reading.text = error.text;
        return reading;
    }
    for (size_t index = 0; index < pieces.size(); ++index) {
        varnel::CaptureFile file;
        if (file.open_range(input_path.c_str(), pieces[index].first, pieces[index].second) != varnel::FileOpen::Opened) {
            finding("a piece from split_points does not open", file.error().text);
        }
        reading.opened = true;
        read_records(file, &reading);
        if (reading.damaged) {
            *last_read = index + 1 == pieces.size();
            break;
        }
    }
    return reading;
}

void check_pieces(const Reading& whole, size_t size) {
    bool last_read = true;
    Reading walked = read_in_pieces(size / 7 + 1, varnel::Cuts::Walked, &last_read);
    if (!(walked.frames == whole.frames && walked.text == whole.text)) {
        finding("pieces differ from the whole read", walked.text + " | " + whole.text);
    }
    Reading guessed = read_in_pieces(size / 7 + 1, varnel::Cuts::Guessed, &last_read);
    if (last_read && !(guessed.frames == whole.frames && guessed.text == whole.text)) {
        finding("proved guessed pieces differ from the whole read", guessed.text + " | " + whole.text);
    }
    if (guessed.frames.size() > whole.frames.size() ||
        !std::equal(guessed.frames.begin(), guessed.frames.end(), whole.frames.begin())) {
        finding("the proved part of guessed pieces differs from the whole read", guessed.text);
    }
}

// A section header after the first, with a valid byte-order magic in the other order.
bool opposite_section_inside(const uint8_t* data, size_t size) {
    static const uint8_t kLittle[] = {0x4d, 0x3c, 0x2b, 0x1a};
    static const uint8_t kBig[] = {0x1a, 0x2b, 0x3c, 0x4d};
    for (size_t index = 4; index + 12 <= size && size >= 12; ++index) {
        const uint8_t* order = data + index + 8;
        if (std::memcmp(data + index, "\x0a\x0d\x0d\x0a", 4) == 0 && std::memcmp(order, data + 8, 4) != 0 &&
            (std::memcmp(order, kLittle, 4) == 0 || std::memcmp(order, kBig, 4) == 0)) {
            return true;
        }
    }
    return false;
}

bool refused_on_purpose(const Reading& theirs, const uint8_t* data, size_t size) {
    static const char* const kRefusals[] = {"an interface has a type ", "an interface has a snapshot length ",
                                            "the file has sections with different byte orders"};
    for (const char* refusal : kRefusals) {
        if (theirs.text.starts_with(refusal)) return true;
    }
    return theirs.damaged && opposite_section_inside(data, size);
}

void compare(const Reading& theirs, const Reading& ours, const uint8_t* data, size_t size) {
    const bool compressed = size >= 2 && ((data[0] == 0x1f && data[1] == 0x8b) || (data[0] == 0x28 && data[1] == 0xb5) ||
                                          (data[0] == 0xfd && data[1] == '7'));
    if (!theirs.opened) {
        if (compressed) return;
        if (ours.opened || ours.text != theirs.text) finding("open differs", theirs.text + " | " + ours.text);
        return;
    }
    if (!ours.opened) finding("libpcap opens, ours does not", ours.text);
    if (ours.frames.size() < theirs.frames.size()) finding("fewer records than libpcap", ours.text);
    for (size_t index = 0; index < theirs.frames.size(); ++index) {
        if (!(ours.frames[index] == theirs.frames[index])) finding("a record differs", std::to_string(index));
    }
    if (refused_on_purpose(theirs, data, size)) return;
    if (ours.frames.size() != theirs.frames.size() || ours.damaged != theirs.damaged || ours.text != theirs.text) {
        finding("the ending differs", theirs.text + " | " + ours.text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    input_fd = memfd_create("varnel-file-reader-input", 0);
    if (input_fd < 0) finding("memfd_create", std::strerror(errno));
    input_path = "/proc/self/fd/" + std::to_string(input_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_input(data, size);
    Reading ours = read_with_ours();
    compare(read_with_libpcap(), ours, data, size);
    if (ours.opened) check_pieces(ours, size);
    return 0;
}
