#include "source.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varnel {
namespace {

// What an open that failed with `error_number` and libpcap's `text` amounts to.
ErrorKind open_failure_kind(int error_number, const char* text) {
    if (error_number == ENOENT) return ErrorKind::NotFound;
    if (error_number == EACCES || error_number == EPERM) return ErrorKind::Permission;
    if (std::strcmp(text, "unknown file format") == 0) return ErrorKind::UnknownFormat;
    return ErrorKind::Unreadable;
}

}  // namespace

void Source::start_open(const std::string& name) {
    close();
    error_ = CaptureError{};
    error_.subject = name;
}

bool Source::open_file(const char* path, const std::string& name) {
    start_open(name);
    char errbuf[kErrbufSize] = {};
    errno = 0;
    pcap_t* handle = pcap_open_offline(path, errbuf);
    if (handle == nullptr) {
        fail_open(errbuf, errno);
        return false;
    }
    opened_file(handle);
    return true;
}

int Source::open_path(const char* path, const std::string& name) {
    start_open(name);
    int descriptor = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        const int error_number = errno;
        // The text libpcap gives when it cannot open a file.
        char text[kErrbufSize];
        std::snprintf(text, sizeof text, "%s: %s", path, std::strerror(error_number));
        fail_open(text, error_number);
    }
    return descriptor;
}

bool Source::open_descriptor(int descriptor, const std::string& name) {
    start_open(name);
    int flags = fcntl(descriptor, F_GETFL);
    FILE* stream = flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) < 0 ? nullptr : fdopen(descriptor, "rb");
    if (stream == nullptr) {
        const int error_number = errno;
        ::close(descriptor);
        fail_open(std::strerror(error_number), error_number);
        return false;
    }
    return open_stream(stream);
}

bool Source::open_stream(FILE* stream) {
    char errbuf[kErrbufSize] = {};
    errno = 0;
    pcap_t* handle = pcap_fopen_offline(stream, errbuf);
    if (handle == nullptr) {
        const int error_number = errno;
        std::fclose(stream);  // libpcap leaves a stream it was given open when it fails
        fail_open(errbuf, error_number);
        return false;
    }
    opened_file(handle);
    return true;
}

bool Source::open_range(const char* path, uint64_t start, uint64_t stop, const std::string& name) {
    start_open(name);
    FILE* stream = std::fopen(path, "rbe");
    if (stream == nullptr) {
        const int error_number = errno;
        char text[kErrbufSize];
        std::snprintf(text, sizeof text, "%s: %s", path, std::strerror(error_number));
        fail_open(text, error_number);
        return false;
    }
    if (!open_stream(stream)) return false;
    // libpcap read the file header through the stream and reads each record with exact reads: the
    // range's first record is where the stream goes next.
    if (fseeko(pcap_file(handle_.get()), static_cast<off_t>(start), SEEK_SET) != 0) {
        const int error_number = errno;
        close();
        fail_open(std::strerror(error_number), error_number);
        return false;
    }
    range_stop_ = static_cast<long long>(stop);
    read_op_ = read_range;
    return true;
}

bool Source::open_live(const char* device, const LiveOptions& options, const std::string& name) {
    start_open(name);
    char errbuf[kErrbufSize] = {};
    errno = 0;
    pcap_t* handle = pcap_create(device, errbuf);
    if (handle == nullptr) {
        fail_open(errbuf, errno);
        return false;
    }
    handle_.reset(handle);
    if (!activate_live(handle, device, options) || !prepare_live_wait()) {
        handle_.reset();
        return false;
    }
    device_ = device;
    read_op_ = read_device;
    return true;
}

// The settings and error texts of pcap_open_live, plus the options it cannot take.
bool Source::activate_live(pcap_t* handle, const char* device, const LiveOptions& options) {
    int status = pcap_set_snaplen(handle, options.snapshot_length);
    if (status == 0) status = pcap_set_promisc(handle, options.promiscuous ? 1 : 0);
    if (status == 0) status = pcap_set_timeout(handle, options.timeout_ms);
    if (status == 0 && options.buffer_size > 0) status = pcap_set_buffer_size(handle, options.buffer_size);
    if (status == 0 && options.immediate) status = pcap_set_immediate_mode(handle, 1);
    int error_number = 0;
    if (status == 0) {
        errno = 0;
        status = pcap_activate(handle);
        error_number = errno;
    }
    if (status >= 0) return true;  // warnings (promiscuous mode not supported, ...) still capture
    char text[kErrbufSize];
    if (status == PCAP_ERROR) {
        std::snprintf(text, sizeof text, "%s: %.*s", device, kErrbufSize - 3, pcap_geterr(handle));
    } else if (status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
               status == PCAP_ERROR_PROMISC_PERM_DENIED) {
        std::snprintf(text, sizeof text, "%s: %s (%.*s)", device, pcap_statustostr(status), kErrbufSize - 6,
                      pcap_geterr(handle));
    } else {
        std::snprintf(text, sizeof text, "%s: %s", device, pcap_statustostr(status));
    }
    fail_open(text, error_number);
    return false;
}

// On Linux libpcap's own wait for a frame blocks until one arrives, however long, and resumes
// after a signal: an idle device would never let Ctrl+C through. The handle is made non-blocking
// instead, and the caller waits on its descriptor for at most one read time-out.
bool Source::prepare_live_wait() {
    device_fd_ = pcap_get_selectable_fd(handle_.get());
    if (device_fd_ < 0) {
        fail(ErrorKind::Unreadable, "device has no descriptor to wait on");
        return false;
    }
    char errbuf[kErrbufSize] = {};
    if (pcap_setnonblock(handle_.get(), 1, errbuf) == 0) return true;
    fail(ErrorKind::Unreadable, errbuf);
    return false;
}

std::string Source::unsupported_link_text() const {
    const int type = link_type();
    const char* link_name = pcap_datalink_val_to_name(type);
    char text[160];
    std::snprintf(text, sizeof text, "link-layer type %s (%d) is not supported; no frame can be decoded",
                  link_name ? link_name : "unknown", type);
    return text;
}

bool Source::set_filter(const char* expression) {
    bpf_program program{};
    if (pcap_compile(handle_.get(), &program, expression, 1, PCAP_NETMASK_UNKNOWN) < 0) {
        fail(ErrorKind::FilterUnfit, pcap_geterr(handle_.get()));
        return false;
    }
    int status = pcap_setfilter(handle_.get(), &program);
    pcap_freecode(&program);
    if (status < 0) fail(ErrorKind::FilterUnfit, pcap_geterr(handle_.get()));
    return status == 0;
}

ReadResult Source::read_file(Source& source, const pcap_pkthdr** header, const u_char** frame) {
    auto** header_out = const_cast<pcap_pkthdr**>(header);
    switch (pcap_next_ex(source.handle_.get(), header_out, frame)) {
        case 1: return ReadResult::Frame;
        case PCAP_ERROR_BREAK: return ReadResult::End;
        default: source.fail(ErrorKind::Damaged, pcap_geterr(source.handle_.get())); return ReadResult::Damaged;
    }
}

ReadResult Source::read_range(Source& source, const pcap_pkthdr** header, const u_char** frame) {
    if (ftello(pcap_file(source.handle_.get())) >= source.range_stop_) return ReadResult::End;
    return read_file(source, header, frame);
}

ReadResult Source::read_device(Source& source, const pcap_pkthdr** header, const u_char** frame) {
    auto** header_out = const_cast<pcap_pkthdr**>(header);
    int result = pcap_next_ex(source.handle_.get(), header_out, frame);  // does not block
    if (result == 1) return ReadResult::Frame;
    if (result == PCAP_ERROR_BREAK) return ReadResult::End;
    if (result < 0) {
        source.fail(ErrorKind::DeviceFailure, pcap_geterr(source.handle_.get()));
        return ReadResult::Failed;
    }
    return source.device_error_ ? source.device_failure() : ReadResult::Idle;
}

void Source::wait(int timeout_ms) {
    pollfd device{device_fd_, POLLIN, 0};
    int ready = poll(&device, 1, timeout_ms);
    device_error_ = ready > 0 && (device.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// The descriptor reported an error and libpcap's non-blocking read had nothing to say about it:
// find the reason without a blocking read, which would wait for the device to come back.
ReadResult Source::device_failure() {
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(device_fd_, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending != 0) {
        fail(ErrorKind::DeviceFailure, pending == ENETDOWN ? "The interface went down" : std::strerror(pending));
        return ReadResult::Failed;
    }
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", device_.c_str());
    if (ioctl(device_fd_, SIOCGIFFLAGS, &request) < 0) {
        fail(ErrorKind::DeviceFailure, errno == ENODEV ? "The interface disappeared" : std::strerror(errno));
    } else if ((request.ifr_flags & IFF_UP) == 0) {
        fail(ErrorKind::DeviceFailure, "The interface went down");
    } else {
        fail(ErrorKind::DeviceFailure, "The device reported an error");
    }
    return ReadResult::Failed;
}

long long Source::position() const noexcept {
    FILE* stream = handle_ ? pcap_file(handle_.get()) : nullptr;  // none for a device
    return stream != nullptr ? ftello(stream) : final_position_;
}

bool Source::kernel_stats(pcap_stat* stats) const noexcept {
    return handle_ && is_live() && pcap_stats(handle_.get(), stats) == 0;
}

void Source::close() noexcept {
    if (!handle_) return;
    final_position_ = position();
    handle_.reset();
    read_op_ = read_nothing;
    device_fd_ = -1;
    device_error_ = false;
    may_block_ = false;
}

void Source::opened_file(pcap_t* handle) noexcept {
    handle_.reset(handle);
    read_op_ = read_file;
    struct stat status {};
    FILE* stream = pcap_file(handle);
    may_block_ = stream != nullptr && fstat(fileno(stream), &status) == 0 && !S_ISREG(status.st_mode);
}

void Source::fail(ErrorKind kind, const char* text, int error_number) {
    error_.kind = kind;
    error_.text = text;
    error_.error_number = error_number;
}

void Source::fail_open(const char* text, int error_number) {
    fail(open_failure_kind(error_number, text), text, error_number);
}

}  // namespace varnel
