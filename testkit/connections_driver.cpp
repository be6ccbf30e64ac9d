// Reads capture files through libpcap, the link-layer table, the transport facts and the connection
// table, with no interpreter anywhere, and prints what the connection sink will give: one JSON
// object per record (the columns in order), then {"stats": {...}}. The tests hold it to the Python
// reference (testkit/connections.py); the benchmark mode measures what the table costs.
//
//   connections_driver [OPTION...] FILE...
//     --tcp-timeout-us N  --udp-timeout-us N  --icmp-timeout-us N  --close-linger-us N
//     --time-window-us N  --host-window N  --max-connections N  --kdd-compat
//     --skip-vlan        VLAN-tagged frames are skipped, not looked through
//     --continuous       the files are one capture (else each starts afresh)
//     --service P:PORT:NAME   names a port (P: tcp or udp); repeatable
//     --services         prints the service table instead: {"names", "tcp", "udp", "icmp4", "icmp6"}
//     --bench RUNS       prints CPU time of reading and decoding alone, and with the table
//     --lookahead        with --bench: each frame is announced to the table (prefetch) four frames early
//     --memory           prints heap bytes per open connection and per record held
//     --round RATE...    prints each rate as kdd_compat rounds it, one a line
#include "connections.hpp"
#include "link_layer.hpp"
#include "transport.hpp"

#include <arpa/inet.h>
#include <malloc.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
    bool continuous = false;
    bool print_services = false;
    bool memory = false;
    bool round = false;  // the remaining arguments are rates
    bool lookahead = false;  // --bench: the table is told of each frame four frames ahead
    int bench_runs = 0;
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
        else if (argument == "--continuous") options.continuous = true;
        else if (argument == "--services") options.print_services = true;
        else if (argument == "--memory") options.memory = true;
        else if (argument == "--bench") options.bench_runs = static_cast<int>(number_after(index, argc, argv));
        else if (argument == "--round") options.round = true;
        else if (argument == "--lookahead") options.lookahead = true;
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

std::string address_text(uint8_t ip_version, const Address& address) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(ip_version == 4 ? AF_INET : AF_INET6, address.data(), text, sizeof text);
    return text;
}

void print_record(const ConnectionRecord& r, const ServiceTable& services) {
    std::printf("{\"duration\": %u, \"protocol_type\": ", r.duration);
    print_text(kProtocolTypeNames[static_cast<int>(r.protocol_type)]);
    std::printf(", \"service\": ");
    print_text(services.names()[r.service]);
    std::printf(", \"flag\": ");
    print_text(kFlagNames[static_cast<int>(r.flag)]);
    std::printf(", \"src_bytes\": %llu, \"dst_bytes\": %llu, \"land\": %u, \"wrong_fragment\": %u, \"urgent\": %u",
                static_cast<unsigned long long>(r.src_bytes), static_cast<unsigned long long>(r.dst_bytes), r.land,
                r.wrong_fragment, r.urgent);
    std::printf(", \"count\": %u, \"srv_count\": %u, \"serror_rate\": %.17g, \"srv_serror_rate\": %.17g"
                ", \"rerror_rate\": %.17g, \"srv_rerror_rate\": %.17g, \"same_srv_rate\": %.17g"
                ", \"diff_srv_rate\": %.17g, \"srv_diff_host_rate\": %.17g",
                r.count, r.srv_count, r.serror_rate, r.srv_serror_rate, r.rerror_rate, r.srv_rerror_rate,
                r.same_srv_rate, r.diff_srv_rate, r.srv_diff_host_rate);
    std::printf(", \"dst_host_count\": %u, \"dst_host_srv_count\": %u, \"dst_host_same_srv_rate\": %.17g"
                ", \"dst_host_diff_srv_rate\": %.17g, \"dst_host_same_src_port_rate\": %.17g"
                ", \"dst_host_srv_diff_host_rate\": %.17g, \"dst_host_serror_rate\": %.17g"
                ", \"dst_host_srv_serror_rate\": %.17g, \"dst_host_rerror_rate\": %.17g"
                ", \"dst_host_srv_rerror_rate\": %.17g",
                r.dst_host_count, r.dst_host_srv_count, r.dst_host_same_srv_rate, r.dst_host_diff_srv_rate,
                r.dst_host_same_src_port_rate, r.dst_host_srv_diff_host_rate, r.dst_host_serror_rate,
                r.dst_host_srv_serror_rate, r.dst_host_rerror_rate, r.dst_host_srv_rerror_rate);
    std::printf(", \"start_time\": %.17g, \"end_time\": %.17g, \"src_ip\": ", seconds_of(r.start_us),
                seconds_of(r.end_us));
    print_text(address_text(r.ip_version, r.src_ip));
    std::printf(", \"src_port\": %u, \"dst_ip\": ", r.src_port);
    print_text(address_text(r.ip_version, r.dst_ip));
    std::printf(", \"dst_port\": %u, \"ip_proto\": %u, \"src_packets\": %u, \"dst_packets\": %u}\n", r.dst_port,
                r.ip_proto, r.src_packets, r.dst_packets);
}

void print_stats(const ConnectionStats& stats) {
    std::printf("{\"stats\": {\"connections\": %llu, \"open_connections\": %llu, \"evicted\": %llu, "
                "\"other_protocol\": %llu, \"unattributed_fragments\": %llu}}\n",
                static_cast<unsigned long long>(stats.connections),
                static_cast<unsigned long long>(stats.open_connections),
                static_cast<unsigned long long>(stats.evicted), static_cast<unsigned long long>(stats.other_protocol),
                static_cast<unsigned long long>(stats.unattributed_fragments));
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

// Every IP frame of the file as transport facts, in file order; false when the file cannot be read.
bool read_capture(const char* path, bool decode_vlan, const FactsSink& sink) {
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline(path, errbuf);
    if (handle == nullptr) {
        std::fprintf(stderr, "connections_driver: %s\n", errbuf);
        return false;
    }
    const packet_decoding::LinkLayer* link = packet_decoding::find_link_layer(pcap_datalink(handle));
    packet_decoding::LinkOptions link_options{decode_vlan};
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    int status = 0;
    TransportFacts facts;
    while (link != nullptr && (status = pcap_next_ex(handle, &header, &bytes)) == 1) {
        const packet_decoding::CapturedFrame frame{bytes, header->caplen};
        packet_decoding::NetworkStart start = link->locate(frame, link_options);
        if (start.outcome != packet_decoding::LinkOutcome::IPv4 && start.outcome != packet_decoding::LinkOutcome::IPv6)
            continue;
        auto protocol = start.outcome == packet_decoding::LinkOutcome::IPv4 ? packet_decoding::NetworkProtocol::IPv4
                                                                            : packet_decoding::NetworkProtocol::IPv6;
        int64_t time_us = packet_time_us(header->ts.tv_sec, header->ts.tv_usec);
        if (decode_transport(frame, start.offset, protocol, time_us, facts)) sink(facts);
    }
    if (status == PCAP_ERROR) std::fprintf(stderr, "connections_driver: %s: %s\n", path, pcap_geterr(handle));
    pcap_close(handle);
    return true;
}

int print_records(const DriverOptions& options) {
    ConnectionTable table(options.table, service_table(options));
    std::vector<ConnectionRecord> ended;
    auto print_ended = [&] {
        for (const ConnectionRecord& record : ended) print_record(record, table.services());
        ended.clear();
    };
    for (size_t index = 0; index < options.files.size(); ++index) {
        bool read = read_capture(options.files[index], options.decode_vlan, [&](const TransportFacts& facts) {
            table.add(facts, ended);
            print_ended();
        });
        if (!read) return 1;
        if (!options.continuous || index + 1 == options.files.size()) {
            table.flush(ended);
            print_ended();
            if (!options.continuous) table.reset();
        }
    }
    print_stats(table.stats());
    return 0;
}

// ---- Measuring

double process_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int bench(const DriverOptions& options) {
    const char* path = options.files.at(0);
    double decode_best = 1e300, table_best = 1e300;
    uint64_t frames = 0, records = 0, checksum = 0;
    for (int run = 0; run < options.bench_runs; ++run) {
        frames = 0;
        double started = process_cpu_seconds();
        read_capture(path, options.decode_vlan, [&](const TransportFacts& facts) {
            ++frames;
            checksum += facts.payload + facts.src_port;
        });
        decode_best = std::min(decode_best, process_cpu_seconds() - started);

        records = 0;
        started = process_cpu_seconds();
        ConnectionTable table(options.table, service_table(options));
        std::vector<ConnectionRecord> ended;
        // Four frames of lookahead: a frame's slot is fetched four frames before it is added, its
        // connection two frames before.
        constexpr size_t kAhead = 4;
        TransportFacts ahead[kAhead];
        size_t waiting = 0;
        read_capture(path, options.decode_vlan, [&](const TransportFacts& facts) {
            if (options.lookahead) {
                table.prefetch_slot(facts);
                if (waiting >= 2) table.prefetch_connection(ahead[waiting - 2]);
            }
            if (waiting == kAhead) {
                table.add(ahead[0], ended);
                records += ended.size();
                ended.clear();
                std::copy(ahead + 1, ahead + kAhead, ahead);
                --waiting;
            }
            ahead[waiting++] = facts;
        });
        for (size_t index = 0; index < waiting; ++index) table.add(ahead[index], ended);
        table.flush(ended);
        records += ended.size();
        table_best = std::min(table_best, process_cpu_seconds() - started);
    }
    std::printf("{\"ip_frames\": %llu, \"records\": %llu, \"decode_cpu_seconds\": %.6f, \"table_cpu_seconds\": %.6f, "
                "\"checksum\": %llu}\n",
                static_cast<unsigned long long>(frames), static_cast<unsigned long long>(records), decode_best,
                table_best, static_cast<unsigned long long>(checksum));
    return 0;
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
    if (options.files.empty()) usage("no capture file given");
    if (options.bench_runs > 0) return bench(options);
    if (options.memory) return measure_memory(options);
    return print_records(options);
}
