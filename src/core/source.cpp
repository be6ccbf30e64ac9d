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
    name_ = name;
}

OpenResult Source::open_path(const char* path, const std::string& name) {
    start_open(name);
    return file_opened(file_.open_path(path));
}

OpenResult Source::open_descriptor(int descriptor, const std::string& name) {
    start_open(name);
    return file_opened(file_.open_descriptor(descriptor, name));
}

OpenResult Source::open_range(const char* path, uint64_t start, uint64_t stop, const std::string& name) {
    start_open(name);
    return file_opened(file_.open_range(path, start, stop));
}

OpenResult Source::resume_open() { return file_opened(file_.resume_open()); }

OpenResult Source::file_opened(FileOpen result) {
    switch (result) {
        case FileOpen::Opened: read_op_ = read_file; return OpenResult::Opened;
        case FileOpen::Pending: return OpenResult::Pending;
        case FileOpen::Failed: break;
    }
    keep_error(file_.error());
    file_.close();
    return OpenResult::Failed;
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

int Source::link_type() const noexcept { return is_live() ? pcap_datalink(handle_.get()) : file_.link_type(); }

std::string Source::unsupported_link_text(int type) {
    const char* link_name = pcap_datalink_val_to_name(type);
    char text[160];
    std::snprintf(text, sizeof text, "link-layer type %s (%d) is not supported; no frame can be decoded",
                  link_name ? link_name : "unknown", type);
    return text;
}

bool Source::set_filter(const char* expression) {
    if (!is_live()) {
        CaptureError why;
        filtered_ = filter_.compile(expression, file_.link_type(), file_.snaplen(), &why);
        if (!filtered_) keep_error(why);
        return filtered_;
    }
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

ReadResult Source::read_file(Source& source, const pcap_pkthdr** header, const u_char** frame, int* link_type) {
    FileRecord& record = source.record_;
    switch (source.file_.next(&record)) {
        case FileRead::Record: break;
        case FileRead::End: return ReadResult::End;
        case FileRead::WouldBlock: return ReadResult::WouldBlock;
        case FileRead::Damaged: source.keep_error(source.file_.error()); return ReadResult::Damaged;
    }
    if (source.filtered_) {
        // A pcapng file may bring a link type the filter was not compiled for yet.
        if (!source.filter_.prepare(record, &source.error_)) {
            source.error_.subject = source.name_;
            return ReadResult::Damaged;
        }
        if (!source.filter_.matches(record)) return ReadResult::Filtered;
    }
    *header = &record.header;
    *frame = record.bytes;
    *link_type = record.link_type;
    return ReadResult::Frame;
}

ReadResult Source::read_device(Source& source, const pcap_pkthdr** header, const u_char** frame, int* link_type) {
    auto** header_out = const_cast<pcap_pkthdr**>(header);
    int result = pcap_next_ex(source.handle_.get(), header_out, frame);  // does not block
    if (result == 1) {
        *link_type = pcap_datalink(source.handle_.get());
        return ReadResult::Frame;
    }
    if (result == PCAP_ERROR_BREAK) return ReadResult::End;
    if (result < 0) {
        source.fail(ErrorKind::DeviceFailure, pcap_geterr(source.handle_.get()));
        return ReadResult::Failed;
    }
    if (source.device_error_) return source.device_failure();
    // libpcap's own poll may have taken the socket's ENETDOWN before ours saw it; it keeps a
    // select timeout required for as long as it believes the interface down.
    if (pcap_get_required_select_timeout(source.handle_.get()) != nullptr) return source.device_failure();
    return ReadResult::Idle;
}

void Source::wait(int timeout_ms) {
    if (!is_live()) {
        file_.wait_readable(timeout_ms);
        return;
    }
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
    if (is_live()) return -1;
    return read_op_ == read_file ? file_.position() : final_position_;
}

bool Source::kernel_stats(pcap_stat* stats) const noexcept {
    return handle_ && is_live() && pcap_stats(handle_.get(), stats) == 0;
}

void Source::close() noexcept {
    if (read_op_ == read_file) final_position_ = file_.position();
    file_.close();
    filter_.clear();
    filtered_ = false;
    handle_.reset();
    read_op_ = read_nothing;
    device_fd_ = -1;
    device_error_ = false;
}

void Source::fail(ErrorKind kind, const char* text, int error_number) {
    error_.kind = kind;
    error_.text = text;
    error_.error_number = error_number;
}

void Source::keep_error(const CaptureError& why) {
    error_ = why;
    error_.subject = name_;
}

void Source::fail_open(const char* text, int error_number) {
    fail(open_failure_kind(error_number, text), text, error_number);
}

}  // namespace varnel
