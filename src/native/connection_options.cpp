#include "connection_options.hpp"

namespace varnel {

bool read_connection_options(PyObject* tuple, connections::ConnectionOptions& options,
                             connections::ServiceTable& services) {
    long long tcp = 0, udp = 0, icmp = 0, linger = 0, window = 0;
    unsigned int host_window = 0, max_connections = 0;
    int kdd_compat = 0;
    PyObject* named = nullptr;
    if (!PyArg_ParseTuple(tuple, "LLLLLIIpO!:connection options", &tcp, &udp, &icmp, &linger, &window,
                          &host_window, &max_connections, &kdd_compat, &PyTuple_Type, &named)) {
        return false;
    }
    if (host_window == 0 || max_connections == 0) {
        PyErr_SetString(PyExc_ValueError, "host_window and max_connections must be at least 1");
        return false;
    }
    options = {tcp, udp, icmp, linger, window, host_window, max_connections, kdd_compat != 0};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(named); ++i) {
        unsigned char protocol = 0;
        unsigned short port = 0;
        const char* name = nullptr;
        Py_ssize_t size = 0;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(named, i), "bHs#:service", &protocol, &port, &name, &size)) {
            return false;
        }
        if (!services.set(protocol, port, std::string_view(name, static_cast<size_t>(size)))) {
            PyErr_Format(PyExc_ValueError, "cannot name port %u of IP protocol %u", port, protocol);
            return false;
        }
    }
    return true;
}

}  // namespace varnel
