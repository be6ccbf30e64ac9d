// The native connection table with no interpreter anywhere: the service table it names ports by,
// its rounding of rates, and the heap it takes per open connection and per record held (frames read
// through the core's capture reader and the transport facts). The tests check the first two,
// the benchmark prints the third.
//
//   connections_driver --services [--service P:PORT:NAME]...
//       prints the service table: {"names", "tcp", "udp", "icmp4", "icmp6"}
//   connections_driver --round RATE...
//       prints each rate as kdd_compat rounds it, one a line
//   connections_driver --memory [OPTION...] FILE
//       prints heap bytes per open connection and per record held
//     --tcp-timeout-us N  --udp-timeout-us N  --icmp-timeout-us N  --close-linger-us N
//     --time-window-us N  --host-window N  --max-connections N  --kdd-compat
//     --skip-vlan        VLAN-tagged frames are skipped, not looked through
//     --service P:PORT:NAME   names a port (P: tcp or udp); repeatable
#include "capture_reader.hpp"
#include "connections.hpp"
#include "transport.hpp"

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace varnel::connections;

struct DriverOptions {
    ConnectionOptions table;
    std::vector<std::string> service_overrides;  // P:PORT:NAME
    std::vector<const char*> files;
    bool decode_vlan = true;
    bool print_services = false;
    bool memory = false;
    bool round = false;  // the remaining arguments are rates
};

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr, "connections_driver: %s\n", problem);
    std::exit(2);
}

long long number_after(int& index, int argc, char** argv) {
    if (++index >= argc) usage("an option lacks its value");
    char* end = nullptr;
    long long value = std::strtoll(argv[index], &end, 10);
    if (*end != '\0') usage("not a number");
    return value;
}

DriverOptions parse_arguments(int argc, char** argv) {
    DriverOptions options;
    ConnectionOptions& table = options.table;
    for (int index = 1; index < argc; ++index) {
        std::string_view argument = argv[index];
        if (argument == "--tcp-timeout-us") table.tcp_timeout_us = number_after(index, argc, argv);
        else if (argument == "--udp-timeout-us") table.udp_timeout_us = number_after(index, argc, argv);
        else if (argument == "--icmp-timeout-us") table.icmp_timeout_us = number_after(index, argc, argv);
        else if (argument == "--close-linger-us") table.close_linger_us = number_after(index, argc, argv);
        else if (argument == "--time-window-us") table.time_window_us = number_after(index, argc, argv);
        else if (argument == "--host-window") table.host_window = static_cast<uint32_t>(number_after(index, argc, argv));
        else if (argument == "--max-connections") table.max_connections = static_cast<uint32_t>(number_after(index, argc, argv));
        else if (argument == "--kdd-compat") table.kdd_compat = true;
        else if (argument == "--skip-vlan") options.decode_vlan = false;
        else if (argument == "--services") options.print_services = true;
        else if (argument == "--memory") options.memory = true;
        else if (argument == "--round") options.round = true;
        else if (argument == "--service") {
            if (++index >= argc) usage("--service lacks its value");
            options.service_overrides.emplace_back(argv[index]);
        } else if (argument.starts_with("--")) usage("unknown option");
        else options.files.push_back(argv[index]);
    }
    return options;
}

ServiceTable service_table(const DriverOptions& options) {
    ServiceTable services;
    for (const std::string& override_text : options.service_overrides) {
        size_t first = override_text.find(':');
        size_t second = override_text.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) usage("--service wants P:PORT:NAME");
        std::string protocol = override_text.substr(0, first);
        long port = std::strtol(override_text.c_str() + first + 1, nullptr, 10);
        uint8_t number = protocol == "tcp" ? 6 : protocol == "udp" ? 17 : 0;
        if (!services.set(number, static_cast<uint16_t>(port), override_text.substr(second + 1))) {
            usage("--service: not a TCP or UDP port");
        }
    }
    return services;
}

// ---- JSON

void print_text(std::string_view text) {
    std::putchar('"');
    for (char c : text) {
        if (c == '"' || c == '\\') {
            std::printf("\\%c", c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            std::printf("\\u%04x", c);
        } else {
            std::putchar(c);
        }
    }
    std::putchar('"');
}

void print_services(const ServiceTable& services) {
    std::printf("{\"names\": [");
    for (size_t id = 0; id < services.names().size(); ++id) {
        if (id > 0) std::printf(", ");
        print_text(services.names()[id]);
    }
    for (uint8_t protocol : {uint8_t{6}, uint8_t{17}}) {
        std::printf("], \"%s\": [", protocol == 6 ? "tcp" : "udp");
        for (uint32_t port = 0; port < 65536; ++port) {
            // With an originator port of 1, the responder's port alone names the service.
            std::printf(port > 0 ? ", %u" : "%u", services.of_ports(protocol, 1, static_cast<uint16_t>(port)));
        }
    }
    for (uint8_t version : {uint8_t{4}, uint8_t{6}}) {
        std::printf("], \"icmp%u\": [", version);
        for (uint32_t type_code = 0; type_code < 65536; ++type_code) {
            ServiceId id = ServiceTable::of_icmp(version, static_cast<uint8_t>(type_code >> 8),
                                                 static_cast<uint8_t>(type_code & 0xFF));
            std::printf(type_code > 0 ? ", %u" : "%u", id);
        }
    }
    std::printf("]}\n");
}

// ---- Reading

using FactsSink = std::function<void(const TransportFacts&)>;

// Every IP frame of the file as transport facts, in file order, read as the columns read it: the
// core's capture reader, locating each frame's network layer. A file that cannot be read, or its
// damage, is reported on stderr; the frames before the damage count.
void read_capture(const char* path, bool decode_vlan, const FactsSink& sink) {
    varnel::ReaderSettings settings;
    settings.link = packet_decoding::LinkOptions{decode_vlan};
    settings.decode = varnel::FrameDecode::NetworkStart;
    varnel::CaptureReader reader({varnel::CaptureInput{varnel::CaptureInput::Kind::Path, path, path}}, settings);
    PacketRecord record{};
    TransportFacts facts;
    for (varnel::ReadEvent event = reader.next(record); event != varnel::ReadEvent::End; event = reader.next(record)) {
        if (event == varnel::ReadEvent::Failed || event == varnel::ReadEvent::Warning) {
            const varnel::CaptureError& problem = event == varnel::ReadEvent::Failed ? reader.error() : reader.warning();
            std::fprintf(stderr, "connections_driver: %s: %s\n", path, problem.text.c_str());
            if (event == varnel::ReadEvent::Failed) return;
        }
        if (event == varnel::ReadEvent::WaitingForData) reader.wait(1000);  // a FIFO's writer
        if (event != varnel::ReadEvent::Frame) continue;
        const packet_decoding::NetworkPacket& packet = reader.packet();
        int64_t time_us = packet_time_us(packet.header->ts.tv_sec, packet.header->ts.tv_usec);
        if (decode_transport(packet.frame, packet.offset, packet.protocol, time_us, facts)) sink(facts);
    }
}

// Large blocks come straight from mmap, outside the heap's arenas: both count.
size_t heap_in_use() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Heap bytes (and the pool's own mapped blocks) per open connection and per record held, from two
// moments of one run: just before the end-of-capture flush (connections open, some records held)
// and just after it (none open, every record held; the table's own storage for connections is not
// given back by a flush).
int measure_memory(const DriverOptions& options) {
    size_t base = heap_in_use();
    ConnectionTable table(options.table, service_table(options));
    std::vector<ConnectionRecord> ended;
    read_capture(options.files.at(0), options.decode_vlan, [&](const TransportFacts& facts) {
        table.add(facts, ended);
        ended.clear();
    });
    std::vector<ConnectionRecord>().swap(ended);
    size_t before = heap_in_use() - base + table.pool_bytes();
    uint64_t open = table.stats().open_connections;
    size_t held_before = table.records_held();
    std::vector<ConnectionRecord> flushed;
    table.flush(flushed);
    std::vector<ConnectionRecord>().swap(flushed);
    size_t after = heap_in_use() - base + table.pool_bytes();
    size_t held_after = table.records_held();
    double per_record = held_after > held_before ? static_cast<double>(after - before) /
                                                       static_cast<double>(held_after - held_before)
                                                 : 0.0;
    double per_connection =
        open > 0 ? (static_cast<double>(before) - per_record * static_cast<double>(held_before)) / static_cast<double>(open)
                 : 0.0;
    std::printf("{\"open_connections\": %llu, \"records_held\": %zu, \"heap_before_flush\": %zu, "
                "\"heap_after_flush\": %zu, \"bytes_per_open_connection\": %.1f, \"bytes_per_record_held\": %.1f}\n",
                static_cast<unsigned long long>(open), held_after, before, after, per_connection, per_record);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    DriverOptions options = parse_arguments(argc, argv);
    if (options.print_services) {
        print_services(service_table(options));
        return 0;
    }
    if (options.round) {
        for (const char* rate : options.files) std::printf("%.17g\n", round_rate(std::strtod(rate, nullptr)));
        return 0;
    }
    if (!options.memory) usage("--services, --round or --memory is wanted");
    if (options.files.empty()) usage("no capture file given");
    return measure_memory(options);
}
