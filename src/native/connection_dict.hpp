// Where a connection record becomes a dictionary: the columns' names as keys, in order.
#pragma once

#include "connection_record.hpp"
#include "packet_dict.hpp"
#include "ref.hpp"

#include <memory>
#include <span>
#include <string>
#include <vector>

namespace varnel {

// Makes the keys and the template the dictionaries are built from; call once when a module loads,
// after init_packet_dicts. False with an exception set.
bool init_connection_dicts();

// The record-dictionary sink of one stream: texts of its services, addresses and times shared
// between records.
class ConnectionDicts {
public:
    // `services` are the names of the stream's service ids; they outlive the sink.
    explicit ConnectionDicts(std::span<const std::string> services) : service_names_(services) {}

    // A new reference, or null with an exception set.
    PyObject* operator()(const connections::ConnectionRecord& record);

private:
    PyObject* service(connections::ServiceId id);
    PyObject* address(uint8_t ip_version, const connections::Address& address);

    std::span<const std::string> service_names_;
    std::vector<Ref> service_texts_;  // made on first use, by id
    std::unique_ptr<PacketTexts> texts_ = std::make_unique<PacketTexts>();
};

}  // namespace varnel
