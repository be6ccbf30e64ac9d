// Reads capture files with libpcap (pcap_open_offline + pcap_next_ex) and with varnel's own
// CaptureFile side by side, and prints one JSON line per file: how each opened, how many records
// each gave, how each ended and with which text, and how many leading records agree in time
// stamp, lengths, bytes, link type and snapshot length. The pytest module decides what must hold.
//
//   file_reader_diff [--pipe | --fifo | --stdin | --split BYTES | --guess BYTES | --truncate-after RECORDS] [--frames]
//                    [--filter EXPR] FILE...
//
// --pipe: our reader gets the file through a pipe written in small pieces by a child process,
// and waits with wait_readable() whenever it would block. --fifo: the same through a FIFO that our
// reader opens by its path before the writer comes. --stdin: our reader opens "-", the standard
// input the caller gives (the file itself, or a pipe), as libpcap does. --split: our reader reads the pieces
// split_points gives, one after the other, with open_range; --guess: the pieces whose cuts it guesses,
// up to the first that ends with damage. --filter: libpcap applies the filter
// to its handle (pcap_setfilter), our reader through FileFilter, compiled per link type.
#include "capture_file.hpp"
#include "file_filter.hpp"

#include <pcap/pcap.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using varnel::CaptureFile;
using varnel::FileOpen;
using varnel::FileRead;
using varnel::FileRecord;

int opened_descriptor = -1;  // for --truncate-after: the file, open for writing
bool through_pipe = false;
bool through_fifo = false;
bool through_stdin = false;
bool print_frames = false;
uint64_t split_bytes = 0;
varnel::Cuts cuts = varnel::Cuts::Walked;
long truncate_after = -1;
const char* filter_expression = nullptr;  // records read before the file is cut to half its size under the reader

struct Frame {
    long seconds;
    long microseconds;
    uint32_t caplen;
    uint32_t len;
    int link_type;
    uint32_t snaplen;
    std::string bytes;
};

struct Reading {
    bool opened = false;
    std::string outcome = "end";  // "end", "damaged", "failed", "stuck"
    std::string text;
    std::string kind;
    int link_type = -1;
    long long position = -1;
    std::vector<Frame> frames;
    bool waited = false;  // --fifo: opening said Pending and nothing was readable before the writer came
};

std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

const char* kind_name(varnel::ErrorKind kind) {
    using varnel::ErrorKind;
    switch (kind) {
        case ErrorKind::None: return "none";
        case ErrorKind::NotFound: return "not_found";
        case ErrorKind::Permission: return "permission";
        case ErrorKind::UnknownFormat: return "unknown_format";
        case ErrorKind::Unreadable: return "unreadable";
        case ErrorKind::Damaged: return "damaged";
        default: return "other";
    }
}

Reading read_with_libpcap(const char* path) {
    Reading reading;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_open_offline(path, errbuf);
    if (handle == nullptr) {
        reading.outcome = "failed";
        reading.text = errbuf;
        return reading;
    }
    reading.opened = true;
    reading.link_type = pcap_datalink(handle);
    bpf_program program{};
    if (filter_expression != nullptr) {
        if (pcap_compile(handle, &program, filter_expression, 1, PCAP_NETMASK_UNKNOWN) < 0 ||
            pcap_setfilter(handle, &program) < 0) {
            reading.outcome = "filter";
            reading.text = pcap_geterr(handle);
            pcap_close(handle);
            return reading;
        }
        pcap_freecode(&program);
    }
    pcap_pkthdr* header;
    const u_char* bytes;
    int status;
    while ((status = pcap_next_ex(handle, &header, &bytes)) == 1) {
        reading.frames.push_back({header->ts.tv_sec, header->ts.tv_usec, header->caplen, header->len,
                                  pcap_datalink(handle), static_cast<uint32_t>(pcap_snapshot(handle)),
                                  std::string(reinterpret_cast<const char*>(bytes), header->caplen)});
    }
    if (status != PCAP_ERROR_BREAK) {
        reading.outcome = "damaged";
        reading.text = pcap_geterr(handle);
    }
    reading.position = ftello(pcap_file(handle));
    pcap_close(handle);
    return reading;
}

void take(const FileRecord& record, Reading* reading) {
    reading->frames.push_back({record.header.ts.tv_sec, record.header.ts.tv_usec, record.header.caplen,
                               record.header.len, record.link_type, record.snaplen,
                               std::string(reinterpret_cast<const char*>(record.bytes), record.header.caplen)});
}

// Shrinks the file being read to half its size (and a few bytes, so that a record is cut).
void cut_in_half(const CaptureFile& file) {
    struct stat status {};
    if (fstat(opened_descriptor, &status) != 0 || ftruncate(opened_descriptor, status.st_size / 2 + 7) != 0) {
        std::perror("file_reader_diff: truncate");
        std::exit(1);
    }
    (void)file;
}

// Reads records until the end, damage, or a pipe that stays silent far too long.
void read_records(CaptureFile& file, Reading* reading) {
    FileRecord record{};
    varnel::FileFilter filter;
    varnel::CaptureError filter_error;
    int idle = 0;
    for (;;) {
        switch (file.next(&record)) {
            case FileRead::Record:
                if (filter_expression != nullptr) {
                    if (!filter.ready_for(record.link_type) &&
                        !filter.compile(filter_expression, record.link_type, record.snaplen, &filter_error)) {
                        reading->outcome = "filter";
                        reading->text = filter_error.text;
                        break;
                    }
                    if (!filter.matches(record)) continue;
                }
                take(record, reading);
                idle = 0;
                if (static_cast<long>(reading->frames.size()) == truncate_after) cut_in_half(file);
                continue;
            case FileRead::End: reading->outcome = "end"; break;
            case FileRead::Damaged:
                reading->outcome = "damaged";
                reading->text = file.error().text;
                reading->kind = kind_name(file.error().kind);
                break;
            case FileRead::WouldBlock:
                if (++idle > 2000) {
                    reading->outcome = "stuck";
                    break;
                }
                file.wait_readable(5);
                continue;
        }
        break;
    }
    reading->position = file.position();
}

bool finish_open(CaptureFile& file, FileOpen outcome, Reading* reading) {
    for (int idle = 0; outcome == FileOpen::Pending && idle < 2000; ++idle) {
        file.wait_readable(5);
        outcome = file.resume_open();
    }
    if (outcome != FileOpen::Opened) {
        reading->outcome = outcome == FileOpen::Pending ? "stuck" : "failed";
        reading->text = file.error().text;
        reading->kind = kind_name(file.error().kind);
        return false;
    }
    reading->opened = true;
    reading->link_type = file.link_type();
    return true;
}

Reading read_with_ours(const char* path) {
    Reading reading;
    CaptureFile file;
    if (through_stdin) path = "-";
    if (truncate_after >= 0) opened_descriptor = ::open(path, O_WRONLY | O_CLOEXEC);
    if (finish_open(file, file.open_path(path), &reading)) read_records(file, &reading);
    return reading;
}

// Our reader opens a FIFO before any writer has it open (opening must not block, and reading
// must wait, not end), then a child opens it and writes the file in pieces.
Reading read_through_fifo(const char* path) {
    Reading reading;
    char directory[] = "/tmp/varnel-fifo-XXXXXX";
    if (mkdtemp(directory) == nullptr) std::abort();
    const std::string fifo = std::string(directory) + "/capture";
    if (mkfifo(fifo.c_str(), 0600) != 0) std::abort();
    CaptureFile file;
    FileOpen first = file.open_path(fifo.c_str());
    reading.waited = first == FileOpen::Pending && !file.wait_readable(50);
    pid_t writer = fork();
    if (writer == 0) {
        int descriptor = ::open(fifo.c_str(), O_WRONLY);
        FILE* source = std::fopen(path, "rb");
        char piece[4093];
        size_t count;
        while (descriptor >= 0 && source != nullptr && (count = std::fread(piece, 1, sizeof piece, source)) > 0) {
            if (::write(descriptor, piece, count) != static_cast<ssize_t>(count)) _exit(1);
        }
        _exit(0);
    }
    if (finish_open(file, first, &reading)) read_records(file, &reading);
    file.close();
    waitpid(writer, nullptr, 0);
    ::unlink(fifo.c_str());
    ::rmdir(directory);
    return reading;
}

// A child writes the file into a pipe in pieces of 1 to 997 bytes, so that records and headers
// arrive cut at every kind of place.
Reading read_through_pipe(const char* path) {
    Reading reading;
    int ends[2];
    if (pipe(ends) != 0) std::abort();
    pid_t writer = fork();
    if (writer == 0) {
        ::close(ends[0]);
        FILE* source = std::fopen(path, "rb");
        char piece[997];
        size_t size = 1;
        while (source != nullptr) {
            size_t count = std::fread(piece, 1, size, source);
            if (count == 0) break;
            for (size_t written = 0; written < count;) {
                ssize_t step = ::write(ends[1], piece + written, count - written);
                if (step <= 0) _exit(0);
                written += static_cast<size_t>(step);
            }
            size = size * 7 % sizeof piece + 1;
        }
        _exit(0);
    }
    ::close(ends[1]);
    CaptureFile file;
    if (finish_open(file, file.open_descriptor(ends[0], path), &reading)) read_records(file, &reading);
    file.close();
    waitpid(writer, nullptr, 0);
    return reading;
}

size_t pieces_read = 0;  // by the last read in pieces

Reading read_in_pieces(const char* path, uint64_t split_bytes, varnel::Cuts cuts) {
    Reading reading;
    std::vector<std::pair<uint64_t, uint64_t>> pieces;
    varnel::CaptureError error;
    if (!varnel::split_points(path, split_bytes, cuts, &pieces, &error)) {
        reading.outcome = "failed";
        reading.text = error.text;
        reading.kind = kind_name(error.kind);
        return reading;
    }
    for (const auto& [start, stop] : pieces) {
        CaptureFile file;
        Reading piece;
        if (!finish_open(file, file.open_range(path, start, stop), &piece)) return piece;
        read_records(file, &piece);
        reading.opened = true;
        reading.link_type = piece.link_type;
        reading.frames.insert(reading.frames.end(), piece.frames.begin(), piece.frames.end());
        reading.outcome = piece.outcome;
        reading.text = piece.text;
        reading.kind = piece.kind;
        if (piece.outcome != "end") break;
    }
    pieces_read = pieces.size();
    return reading;
}

// The first difference between two frames, or "" when they agree.
std::string difference(const Frame& theirs, const Frame& ours) {
    char text[160];
    if (theirs.seconds != ours.seconds || theirs.microseconds != ours.microseconds) {
        std::snprintf(text, sizeof text, "time %ld.%06ld != %ld.%06ld", theirs.seconds, theirs.microseconds,
                      ours.seconds, ours.microseconds);
    } else if (theirs.caplen != ours.caplen || theirs.len != ours.len) {
        std::snprintf(text, sizeof text, "lengths %u/%u != %u/%u", theirs.caplen, theirs.len, ours.caplen, ours.len);
    } else if (theirs.link_type != ours.link_type || theirs.snaplen != ours.snaplen) {
        std::snprintf(text, sizeof text, "link type/snaplen %d/%u != %d/%u", theirs.link_type, theirs.snaplen,
                      ours.link_type, ours.snaplen);
    } else if (theirs.bytes != ours.bytes) {
        std::snprintf(text, sizeof text, "bytes differ");
    } else {
        return "";
    }
    return text;
}

// FNV-1a over every field of every frame, to compare readings of different files.
unsigned long long digest(const Reading& reading) {
    unsigned long long hash = 14695981039346656037ull;
    auto mix = [&hash](const void* data, size_t size) {
        for (size_t index = 0; index < size; ++index) {
            hash ^= static_cast<const unsigned char*>(data)[index];
            hash *= 1099511628211ull;
        }
    };
    for (const Frame& frame : reading.frames) {
        const long fields[] = {frame.seconds, frame.microseconds, frame.caplen, frame.len, frame.link_type,
                               static_cast<long>(frame.snaplen)};
        mix(fields, sizeof fields);
        mix(frame.bytes.data(), frame.bytes.size());
    }
    return hash;
}

void print_frames_of(const Reading& reading) {
    std::printf(", \"frame_list\": [");
    for (size_t index = 0; index < reading.frames.size(); ++index) {
        const Frame& frame = reading.frames[index];
        std::printf("%s[%ld, %ld, %u, %u, %d, %u, \"", index ? ", " : "", frame.seconds, frame.microseconds,
                    frame.caplen, frame.len, frame.link_type, frame.snaplen);
        for (unsigned char byte : frame.bytes) std::printf("%02x", byte);
        std::printf("\"]");
    }
    std::printf("]");
}

void print_reading(const char* name, const Reading& reading) {
    std::printf("\"%s\": {\"opened\": %s, \"outcome\": \"%s\", \"text\": %s, \"kind\": \"%s\", \"frames\": %zu, "
                "\"link_type\": %d, \"position\": %lld, \"digest\": \"%016llx\", \"waited\": %s",
                name, reading.opened ? "true" : "false", reading.outcome.c_str(), json_text(reading.text).c_str(),
                reading.kind.c_str(), reading.frames.size(), reading.link_type, reading.position, digest(reading),
                reading.waited ? "true" : "false");
    if (print_frames) print_frames_of(reading);
    std::printf("}");
}

void compare(const char* path, const Reading& theirs, const Reading& ours) {
    size_t agree = 0;
    std::string mismatch;
    while (agree < theirs.frames.size() && agree < ours.frames.size()) {
        mismatch = difference(theirs.frames[agree], ours.frames[agree]);
        if (!mismatch.empty()) break;
        ++agree;
    }
    std::printf("{\"file\": %s, ", json_text(path).c_str());
    print_reading("libpcap", theirs);
    std::printf(", ");
    print_reading("ours", ours);
    std::printf(", \"agree\": %zu, \"mismatch\": %s, \"pieces\": %zu}\n", agree, json_text(mismatch).c_str(),
                pieces_read);
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        if (std::strcmp(argv[first], "--pipe") == 0) {
            through_pipe = true;
        } else if (std::strcmp(argv[first], "--fifo") == 0) {
            through_fifo = true;
        } else if (std::strcmp(argv[first], "--stdin") == 0) {
            through_stdin = true;
        } else if (std::strcmp(argv[first], "--frames") == 0) {
            print_frames = true;
        } else if (std::strcmp(argv[first], "--split") == 0 && first + 1 < argc) {
            split_bytes = std::strtoull(argv[++first], nullptr, 10);
        } else if (std::strcmp(argv[first], "--guess") == 0 && first + 1 < argc) {
            split_bytes = std::strtoull(argv[++first], nullptr, 10);
            cuts = varnel::Cuts::Guessed;
        } else if (std::strcmp(argv[first], "--filter") == 0 && first + 1 < argc) {
            filter_expression = argv[++first];
        } else if (std::strcmp(argv[first], "--truncate-after") == 0 && first + 1 < argc) {
            truncate_after = std::strtol(argv[++first], nullptr, 10);
        } else {
            first = argc;
        }
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: file_reader_diff [--pipe | --fifo | --stdin | --split BYTES | --guess BYTES | "
                             "--truncate-after RECORDS] [--frames] [--filter EXPR] FILE...\n");
        return 2;
    }
    for (int index = first; index < argc; ++index) {
        const char* path = argv[index];
        Reading ours = through_fifo   ? read_through_fifo(path)
                       : through_pipe ? read_through_pipe(path)
                       : split_bytes != 0 ? read_in_pieces(path, split_bytes, cuts)
                                          : read_with_ours(path);
        compare(path, read_with_libpcap(path), ours);
        std::fflush(stdout);
    }
    return 0;
}
