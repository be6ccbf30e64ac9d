// What libpcap changes in a record's bytes after reading it from a file: the fields of some
// link-layer pseudo-headers that the writing host stored in its own byte order are turned into
// this host's order, and the wire length of some Linux USB records is corrected. The file reader
// hands out the same bytes and lengths, so filters and decoders see what they see under libpcap.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

namespace varnel::pseudo_header {

// Whether records of `dlt` from a file of the other byte order (`swapped`) need fixing at all.
bool needs_fixing(int dlt, bool swapped) noexcept;

// Fixes the record in place; touches only the header.caplen bytes at `bytes`.
void fix(int dlt, bool swapped, pcap_pkthdr* header, uint8_t* bytes) noexcept;

}  // namespace varnel::pseudo_header
