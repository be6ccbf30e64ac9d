// libFuzzer harness for whole capture files, through the real file path of `read_pcap`: each
// input is a capture file that an embedded interpreter reads to the end with
// varnel.core.base.grapnel.read_pcap (libpcap open, link-type check, the native frame loop, the
// decoder, the dictionary conversion, the damaged-file warning, the close), and with every other
// file-reading entry point the package has built (feature rows, once that module is present).
//
// The extension modules are the package's own, built with -fsanitize=fuzzer-no-link,address,undefined
// and installed in `site/` beside this executable; the executable exports libFuzzer's coverage
// callbacks (-rdynamic) so the modules' edges guide the search. The interpreter allocates through
// malloc (not its own arenas) so that AddressSanitizer sees its objects too.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Reads the file at `path` with every entry point. An exception other than the ones a bad file
// is allowed to raise propagates and is a finding.
constexpr const char* kDriver = R"PY(
import sys
sys.path.insert(0, SITE)  # the instrumented package

import warnings
warnings.simplefilter("ignore")  # damaged and non-Ethernet files warn by design

from varnel.core.base.grapnel import read_pcap

try:
    from varnel.core.ver100.moraine import FeatureExtractor
except ImportError:
    FeatureExtractor = None

# Not a capture file, libpcap text that is not UTF-8, a time stamp localtime cannot convert.
EXPECTED = (RuntimeError, UnicodeDecodeError, OSError)
from varnel import schema

def check_packet(packet):
    if packet["success"] is not True or packet["version"] not in ("IPv4", "IPv6"):
        raise AssertionError(f"malformed packet dict {packet!r}")
    if tuple(packet) != schema.packet_keys(schema.group_of(packet["protocol_type"])):
        raise AssertionError(f"keys not those of the field table {packet!r}")

def stop_early(path, size):
    """A second reader that leaves the file part-way, in one of the ways a generator can end."""
    generator = read_pcap(path)
    try:
        for _ in range(size % 5):
            next(generator)
        ending = size % 3
        if ending == 0:
            generator.close()
        elif ending == 1:
            generator.throw(KeyError("thrown in"))
    except (StopIteration, KeyError) + EXPECTED:
        pass
    del generator  # ending 2: dropped, possibly while suspended

def check_rows(rows, packets):
    """Feature rows and packet dicts of one file describe the same packets."""
    if len(rows) != len(packets):
        raise AssertionError(f"{len(rows)} feature rows for {len(packets)} packets")
    for row, packet in zip(rows, packets):
        protocol = {"TCP": "TCP", "UDP": "UDP"}.get(packet["protocol_type"], "ICMP")
        same = (row["timestamp"] == packet["timestamp"] and row["src_port"] == packet["src_port"]
                and row["dst_port"] == packet["dst_port"] and row["protocol_type"] == protocol
                and row["src_bytes"] == packet["frame_length"] and row["land"] == packet["land"]
                and row["wrong_fragment"] == packet["wrong_fragment"] and row["count"] >= 1)
        if not same:
            raise AssertionError(f"row {row!r} does not match packet {packet!r}")

def run(path, size):
    packets = []
    try:
        for packet in read_pcap(path):
            check_packet(packet)
            packets.append(packet)
        complete = True
    except EXPECTED:
        complete = False
    stop_early(path, size)
    if FeatureExtractor is not None:
        extractor = FeatureExtractor()
        try:
            rows = extractor.process_pcap(path)
        except EXPECTED:
            rows = None
        if rows is not None and complete:
            check_rows(rows, packets)
        if hasattr(extractor, "iter_pcap"):
            try:
                for _ in extractor.iter_pcap(path):
                    pass
            except EXPECTED:
                pass
)PY";

PyObject* run_function = nullptr;
PyObject* input_path = nullptr;  // bytes: /proc/self/fd/N of the memory file holding the input
int input_fd = -1;

[[noreturn]] void fatal(const char* what) {
    if (PyErr_Occurred()) PyErr_Print();
    std::fprintf(stderr, "read_pcap_fuzzer: %s\n", what);
    std::abort();
}

std::string directory_of_executable() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) fatal("cannot find the executable's directory");
    std::string text(path, static_cast<size_t>(length));
    return text.substr(0, text.rfind('/'));
}

void start_interpreter() {
    PyPreConfig preconfig;
    PyPreConfig_InitIsolatedConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus_Exception(Py_PreInitialize(&preconfig))) fatal("interpreter pre-initialisation failed");

    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;  // libFuzzer handles signals and time-outs
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) fatal("interpreter initialisation failed");
}

void load_driver() {
    PyObject* globals = PyDict_New();
    PyObject* site = PyUnicode_FromString((directory_of_executable() + "/site").c_str());
    if (globals == nullptr || site == nullptr || PyDict_SetItemString(globals, "SITE", site) < 0 ||
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0)
        fatal("driver namespace");
    Py_DECREF(site);
    PyObject* result = PyRun_String(kDriver, Py_file_input, globals, globals);
    if (result == nullptr) fatal("driver failed to load (is the package built into site/?)");
    Py_DECREF(result);
    run_function = PyDict_GetItemString(globals, "run");  // kept alive by `globals`, never freed
    if (run_function == nullptr) fatal("driver has no run()");
}

void open_input_file() {
    input_fd = memfd_create("varnel-fuzz-input", 0);
    if (input_fd < 0) fatal("memfd_create failed");
    std::string path = "/proc/self/fd/" + std::to_string(input_fd);
    input_path = PyBytes_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    if (input_path == nullptr) fatal("input path");
}

void write_input(const uint8_t* data, size_t size) {
    if (ftruncate(input_fd, 0) != 0) fatal("ftruncate failed");
    size_t written = 0;
    while (written < size) {
        ssize_t count = pwrite(input_fd, data + written, size - written, static_cast<off_t>(written));
        if (count <= 0) fatal("pwrite failed");
        written += static_cast<size_t>(count);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    start_interpreter();
    load_driver();
    open_input_file();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_input(data, size);
    PyObject* result = PyObject_CallFunction(run_function, "On", input_path, static_cast<Py_ssize_t>(size));
    if (result == nullptr) fatal("unexpected exception while reading the capture");
    Py_DECREF(result);
    return 0;
}
