// The connection options as the Python side hands them over, checked there already.
#pragma once

#include "connection_record.hpp"
#include "ref.hpp"
#include "services.hpp"

namespace varnel {

// From (tcp_timeout_us, udp_timeout_us, icmp_timeout_us, close_linger_us, time_window_us,
// host_window, max_connections, kdd_compat, services), `services` a tuple of (IP protocol, port,
// name) that name ports. False with an exception set.
bool read_connection_options(PyObject* tuple, connections::ConnectionOptions& options,
                             connections::ServiceTable& services);

}  // namespace varnel
