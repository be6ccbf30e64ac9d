// varnel._columns: capture files as Arrow record batches, through the Arrow PyCapsule interface.
// The public face is varnel.columns; this module holds the native source object.
#include "boundary.hpp"
#include "chain_carries.hpp"
#include "column_stream.hpp"
#include "column_text.hpp"
#include "connection_options.hpp"
#include "connection_stream.hpp"
#include "frame_reader.hpp"
#include "lock_released.hpp"
#include "host_table.hpp"
#include "pcap_text.hpp"
#include "ref.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using varnel::Ref;
namespace columns = varnel::columns;

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// What a source reads and how; copied into every stream it exports, so that no stream refers back
// to the object or to any interpreter object.
struct SourceBody {
    std::vector<varnel::CaptureInput> inputs;
    varnel::ReaderSettings settings;
    columns::ColumnOptions options;
    size_t jobs = 1;  // above 1: the inputs are read on that many threads, handed on in order
    bool live = false;
    bool exported = false;  // a live device is read by one stream only
    std::shared_ptr<std::atomic<bool>> end_requested;  // of the latest stream
    // What the latest stream met: one report, or one per input when they are read on threads.
    std::vector<std::shared_ptr<columns::ReadReport>> reports{std::make_shared<columns::ReadReport>()};

    bool threaded() const noexcept { return jobs > 1 && inputs.size() > 1; }
    // The reports of the latest stream as one, the inputs' in their order.
    columns::ReadStats snapshot() const;
};

void add_counts(varnel::connections::ConnectionStats& sum, const varnel::connections::ConnectionStats& counts) {
    sum.connections += counts.connections;
    sum.open_connections += counts.open_connections;
    sum.evicted += counts.evicted;
    sum.other_protocol += counts.other_protocol;
    sum.unattributed_fragments += counts.unattributed_fragments;
}

columns::ReadStats SourceBody::snapshot() const {
    columns::ReadStats total;
    total.finished = true;
    for (const auto& report : reports) {
        const columns::ReadStats part = report->snapshot();
        const varnel::FrameCounts& counts = part.reader.counts;
        varnel::FrameCounts& sum = total.reader.counts;
        sum.read += counts.read;
        sum.decoded += counts.decoded;
        sum.not_ip += counts.not_ip;
        sum.vlan_tagged += counts.vlan_tagged;
        sum.too_short += counts.too_short;
        sum.unsupported_link += counts.unsupported_link;
        total.reader.inputs_read += part.reader.inputs_read;
        total.reader.bytes_read += part.reader.bytes_read;
        total.reader.kernel = part.reader.kernel;
        total.reader.has_kernel = total.reader.has_kernel || part.reader.has_kernel;
        total.rows += part.rows;
        total.batches += part.batches;
        add_counts(total.connections, part.connections);
        total.problems.insert(total.problems.end(), part.problems.begin(), part.problems.end());
        if (!total.error) total.error = part.error;
        total.finished = total.finished && part.finished;
        if (part.runs) total.runs = part.runs;
    }
    if (total.error) total.finished = false;
    return total;
}

struct ColumnSourceObject {
    PyObject_HEAD
    SourceBody* body;
};

ColumnSourceObject* as_source(PyObject* object) { return reinterpret_cast<ColumnSourceObject*>(object); }

// ---- Capsules. Each destructor releases a struct no consumer took over (release still set).

void destroy_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
    if (schema == nullptr) {
        PyErr_Clear();
        return;
    }
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

void destroy_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (stream == nullptr) {
        PyErr_Clear();
        return;
    }
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

// Takes over `pointer` (deleted on failure) into a new capsule.
template <class Struct>
PyObject* new_capsule(std::unique_ptr<Struct> pointer, const char* name, PyCapsule_Destructor destroy) {
    PyObject* capsule = PyCapsule_New(pointer.get(), name, destroy);
    if (capsule == nullptr) {
        if (pointer->release != nullptr) pointer->release(pointer.get());
        return nullptr;
    }
    static_cast<void>(pointer.release());
    return capsule;
}

// ---- The methods.

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
    auto schema = std::make_unique<ArrowSchema>();
    columns::export_schema(columns::column_layouts(as_source(self)->body->options), schema.get());
    return new_capsule(std::move(schema), kSchemaCapsule, &varnel::Guarded<destroy_schema_capsule>::call);
}

// Opens the first input (or the device) with the lock released; an open cut short by a signal, or
// waiting for a FIFO's writer, lets the signal's handler run and, unless it raised, goes on.
bool open_first_input(columns::ColumnReader& reader) {
    for (;;) {
        varnel::ReadEvent event = varnel::ReadEvent::Frame;
        {
            varnel::LockReleased unlocked;
            event = reader.open_first();
            if (event == varnel::ReadEvent::WaitingForData) reader.wait_for_data(varnel::kWaitSliceMs);
        }
        if (event == varnel::ReadEvent::Frame) return true;
        if (event == varnel::ReadEvent::Failed) break;
        if (PyErr_CheckSignals() < 0) return false;
    }
    const varnel::CaptureError& failure = reader.failure();
    Ref message = varnel::pcap_text(columns::error_text(failure, reader.is_live()).c_str());
    Ref reason = varnel::pcap_text(failure.text.c_str());
    if (!message || !reason) return false;
    Ref error = Ref::steal(PyObject_CallOneArg(failure.kind == varnel::ErrorKind::FilterUnfit ? PyExc_ValueError
                                                                                             : PyExc_RuntimeError,
                                               message.get()));
    if (!error || PyObject_SetAttrString(error.get(), "reason", reason.get()) < 0) return false;
    PyErr_SetRaisedException(error.release());
    return false;
}

// One reader over every input in turn, its first input opened now; null with an exception set.
std::unique_ptr<columns::BatchSource> single_source(SourceBody& body) {
    body.reports = {std::make_shared<columns::ReadReport>()};  // an open that fails is reported too
    auto reader = std::make_unique<columns::ColumnReader>(body.inputs, body.settings, body.options, body.reports[0]);
    if (!open_first_input(*reader)) return nullptr;
    return columns::single_source(std::move(reader));
}

// A reader per input on `jobs` threads; the first input is opened now, so that it fails the export
// as a single reader's would. Null with an exception set.
std::unique_ptr<columns::BatchSource> threaded_source(SourceBody& body) {
    body.reports.clear();
    for (size_t i = 0; i < body.inputs.size(); ++i) body.reports.push_back(std::make_shared<columns::ReadReport>());
    // Each thread's reader holds copies of what it needs, never the body, which Python may free.
    auto make = [inputs = body.inputs, settings = body.settings, options = body.options,
                 reports = body.reports](size_t index) {
        columns::ColumnOptions own = options;
        own.first_file = static_cast<uint32_t>(index);
        return std::make_unique<columns::ColumnReader>(std::vector<varnel::CaptureInput>{inputs[index]}, settings, own,
                                                       reports[index]);
    };
    std::unique_ptr<columns::ColumnReader> first = make(0);
    if (!open_first_input(*first)) return nullptr;
    return columns::threaded_source(body.inputs.size(), body.jobs, std::move(make), std::move(first),
                                    columns::column_layouts(body.options));
}

// A fresh read of every file at each call: a consumer (DuckDB) may scan more than once. The
// requested schema is a hint the interface lets a producer ignore; the columns are what they are.
PyObject* arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + keywords > 1) {
        PyErr_Format(PyExc_TypeError, "__arrow_c_stream__() takes at most 1 argument (%zd given)", nargs + keywords);
        return nullptr;
    }
    if (keywords == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "requested_schema") != 0) {
        PyErr_Format(PyExc_TypeError, "__arrow_c_stream__() got an unexpected keyword argument '%U'",
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    SourceBody& body = *as_source(self)->body;
    body.options.end_requested = body.end_requested = std::make_shared<std::atomic<bool>>(false);
    if (body.live && body.exported) {
        // A device's frames are read once: a second reader would see other frames.
        PyErr_SetString(PyExc_RuntimeError, "a live capture can be exported only once");
        return nullptr;
    }
    std::unique_ptr<columns::BatchSource> source = body.threaded() ? threaded_source(body) : single_source(body);
    if (!source) return nullptr;
    auto stream = std::make_unique<ArrowArrayStream>();
    if (!columns::export_stream(std::move(source), stream.get())) return PyErr_NoMemory();
    body.exported = true;
    return new_capsule(std::move(stream), kStreamCapsule, &varnel::Guarded<destroy_stream_capsule>::call);
}

bool set_count(PyObject* dict, const char* key, uint64_t value) {
    Ref number = Ref::steal(PyLong_FromUnsignedLongLong(value));
    return number && PyDict_SetItemString(dict, key, number.get()) == 0;
}

bool set_object(PyObject* dict, const char* key, Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// libpcap's counter of a device; None for files.
bool set_kernel_count(PyObject* dict, const char* key, bool counted, uint64_t value) {
    return counted ? set_count(dict, key, value) : set_object(dict, key, Ref::borrow(Py_None));
}

Ref warning_list(const std::vector<columns::ReadStats::Problem>& problems) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return list;
    for (const columns::ReadStats::Problem& problem : problems) {
        if (problem.skipped) continue;
        Ref item = varnel::pcap_text(columns::warning_text(problem.error).c_str());
        if (!item || PyList_Append(list.get(), item.get()) < 0) return {};
    }
    return list;
}

// What the latest stream exported from this object met so far. The frame counts carry the names of
// the streams' stats().
PyObject* stats(PyObject* self, PyObject*) {
    const SourceBody& body = *as_source(self)->body;
    const columns::ReadStats stats = body.snapshot();
    const varnel::FrameCounts& frames = stats.reader.counts;
    const bool counted = stats.reader.has_kernel;
    Ref error = stats.error ? varnel::pcap_text(columns::error_text(stats.error, body.live).c_str())
                            : Ref::borrow(Py_None);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    bool filled = set_count(d, "files", body.live ? 0 : body.inputs.size()) &&
                  set_count(d, "files_read", stats.reader.inputs_read) &&
                  set_count(d, "bytes_read", stats.reader.bytes_read) && set_count(d, "read", frames.read) &&
                  set_count(d, "decoded", frames.decoded) && set_count(d, "not_ip", frames.not_ip) &&
                  set_count(d, "vlan_tagged", frames.vlan_tagged) && set_count(d, "too_short", frames.too_short) &&
                  set_count(d, "unsupported_link", frames.unsupported_link) && set_count(d, "rows", stats.rows) &&
                  set_count(d, "batches", stats.batches) && set_object(d, "warnings", warning_list(stats.problems)) &&
                  set_object(d, "error", std::move(error)) &&
                  set_object(d, "finished", Ref::borrow(stats.finished ? Py_True : Py_False)) &&
                  set_kernel_count(d, "received", counted, stats.reader.kernel.ps_recv) &&
                  set_kernel_count(d, "dropped", counted, stats.reader.kernel.ps_drop) &&
                  set_kernel_count(d, "if_dropped", counted, stats.reader.kernel.ps_ifdrop);
    if (filled && body.options.rows == columns::RowKind::Connections) {
        filled = varnel::add_connection_stats(d, stats.connections);
    }
    return filled ? dict.release() : nullptr;
}

// end_read(): the latest stream ends as if every input had ended, once the batch being filled is
// done; connection records first end every connection still open.
PyObject* end_read(PyObject* self, PyObject*) {
    const SourceBody& body = *as_source(self)->body;
    if (body.end_requested) body.end_requested->store(true);
    Py_RETURN_NONE;
}

const char* kind_name(varnel::ErrorKind kind) {
    switch (kind) {
        case varnel::ErrorKind::NotFound: return "not_found";
        case varnel::ErrorKind::Permission: return "permission";
        case varnel::ErrorKind::UnknownFormat: return "unknown_format";
        case varnel::ErrorKind::Damaged: return "damaged";
        case varnel::ErrorKind::UnsupportedLink: return "unsupported_link";
        case varnel::ErrorKind::DeviceFailure: return "device_failure";
        case varnel::ErrorKind::FilterUnfit: return "filter_unfit";
        case varnel::ErrorKind::OtherProcess: return "other_process";
        case varnel::ErrorKind::BadTimestamp: return "bad_timestamp";
        case varnel::ErrorKind::None:
        case varnel::ErrorKind::Unreadable: break;
    }
    return "unreadable";
}

// (kind, subject, reason, fatal) of one warning or error: the file or device and the reason alone,
// for callers that word their own messages.
Ref problem_tuple(const varnel::CaptureError& problem, bool fatal) {
    // As messages show it: bytes of a name that are not UTF-8 as \xNN escapes.
    Ref subject = varnel::pcap_text(problem.subject.c_str());
    Ref reason = varnel::pcap_text(std::string(problem.reason()).c_str());
    if (!subject || !reason) return {};
    return Ref::steal(Py_BuildValue("(sOOO)", kind_name(problem.kind), subject.get(), reason.get(),
                                    fatal ? Py_True : Py_False));
}

// problems(): the warnings of the latest stream and the files it skipped, in the order met, then
// the error that ended it.
PyObject* problems(PyObject* self, PyObject*) {
    const columns::ReadStats snapshot = as_source(self)->body->snapshot();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const columns::ReadStats::Problem& problem : snapshot.problems) {
        Ref item = problem_tuple(problem.error, problem.skipped);
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    if (snapshot.error) {
        Ref item = problem_tuple(snapshot.error, true);
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

template <class Value>
Ref bytes_of(const std::vector<Value>& values) {
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                static_cast<Py_ssize_t>(values.size() * sizeof(Value))));
}

// One address family's runs, as packed native arrays (bytes) indexed by node: keys (the addresses,
// 4 or 16 bytes each, wire order), first and last time stamps (float64), whole (uint8: the leading
// run covers the range), end_count (uint32).
Ref family_runs(const HostTracker::FamilyRuns& family) {
    Ref first = bytes_of(family.first);
    Ref last = bytes_of(family.last);
    Ref whole = bytes_of(family.whole);
    Ref end_count = bytes_of(family.end_count);
    if (!first || !last || !whole || !end_count) return {};
    return Ref::steal(Py_BuildValue("{s:y#,s:O,s:O,s:O,s:O}", "keys", family.keys.data(),
                                    static_cast<Py_ssize_t>(family.keys.size()), "first", first.get(), "last",
                                    last.get(), "whole", whole.get(), "end_count", end_count.get()));
}

// runs(): what a finished read of a byte range says of each destination: per address family
// ("ipv4", "ipv6") its runs indexed by node, a row's destination code being node * 2 + family;
// and the range's lowest and newest time stamps and late_inside. None before the end.
PyObject* runs(PyObject* self, PyObject*) {
    const columns::ReadStats snapshot = as_source(self)->body->snapshot();
    if (!snapshot.runs) Py_RETURN_NONE;
    Ref ipv4 = family_runs(snapshot.runs->destinations.ipv4);
    Ref ipv6 = family_runs(snapshot.runs->destinations.ipv6);
    if (!ipv4 || !ipv6) return nullptr;
    return Py_BuildValue("{s:O,s:O,s:d,s:d,s:O}", "ipv4", ipv4.get(), "ipv6", ipv6.get(), "lowest",
                         snapshot.runs->lowest_time, "highest", snapshot.runs->newest_time, "late_inside",
                         snapshot.runs->late_inside ? Py_True : Py_False);
}

// ---- The type.

// ColumnSource(rows, locations, *, live=False, ranges=None, filter=None, skip_vlan=False,
// batch_size=65536, timestamp_column=False, flow_key=False, continuous=False, batch_timeout_ms=1000,
// limit=0, snaplen=65535, promisc=True, timeout_ms=1000, buffer_size=0, immediate=False): `rows` is
// "packets" or "features"; `locations` a tuple of paths (bytes), or of one device name when `live`;
// `ranges` a tuple of (start, stop) byte offsets, one per path, to read those records of a classic
// pcap file only (None: the whole file); `dictionary` (packet rows) gives date_time, the MACs and
// the addresses int16 indices into a dictionary of each batch. varnel.columns checks the arguments'
// meaning; this checks what the native side relies on.
bool parse_locations(PyObject* locations, PyObject* ranges, bool live, std::vector<varnel::CaptureInput>& inputs) {
    if (ranges != Py_None && (!PyTuple_Check(ranges) || PyTuple_GET_SIZE(ranges) != PyTuple_GET_SIZE(locations))) {
        PyErr_SetString(PyExc_ValueError, "ranges must be a tuple of (start, stop) pairs, one per path");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(locations); ++i) {
        PyObject* location = PyTuple_GET_ITEM(locations, i);
        if (!PyBytes_Check(location)) {
            PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(location)->tp_name);
            return false;
        }
        const char* text = PyBytes_AS_STRING(location);
        if (std::strlen(text) != static_cast<size_t>(PyBytes_GET_SIZE(location))) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            return false;
        }
        varnel::CaptureInput input{live ? varnel::CaptureInput::Kind::Device : varnel::CaptureInput::Kind::Path, text,
                                   text};
        if (ranges != Py_None && PyTuple_GET_ITEM(ranges, i) != Py_None) {
            unsigned long long start = 0, stop = 0;
            if (!PyArg_ParseTuple(PyTuple_GET_ITEM(ranges, i), "KK", &start, &stop)) return false;
            input.kind = varnel::CaptureInput::Kind::Range;
            input.start = start;
            input.stop = stop;
        }
        inputs.push_back(std::move(input));
    }
    return true;
}

// What messages call each input, where it is not its path: a tuple of str, one per input.
bool parse_names(PyObject* names, std::vector<varnel::CaptureInput>& inputs) {
    if (names == Py_None) return true;
    if (!PyTuple_Check(names) || PyTuple_GET_SIZE(names) != static_cast<Py_ssize_t>(inputs.size())) {
        PyErr_SetString(PyExc_ValueError, "names must be a tuple of str, one per input");
        return false;
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(i))));
        if (!encoded) return false;
        inputs[i].name = PyBytes_AS_STRING(encoded.get());
    }
    return true;
}

// The file column's values: `names` (a tuple of str, one per input), or the inputs' own names.
bool set_file_names(SourceBody& body, PyObject* names) {
    if (names != Py_None &&
        (!PyTuple_Check(names) || PyTuple_GET_SIZE(names) != static_cast<Py_ssize_t>(body.inputs.size()))) {
        PyErr_SetString(PyExc_ValueError, "file_names must be a tuple of str, one per input");
        return false;
    }
    std::vector<std::string> values;
    for (size_t i = 0; i < body.inputs.size(); ++i) {
        PyObject* given = names != Py_None ? PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(i)) : nullptr;
        Ref text = given != nullptr ? Ref::borrow(given)
                                    : Ref::steal(PyUnicode_DecodeFSDefault(body.inputs[i].name.c_str()));
        // A name that is not UTF-8 keeps its bytes as \xNN escapes: an Arrow text must be UTF-8.
        Ref utf8 = text ? Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace")) : Ref();
        if (!utf8) return false;
        values.emplace_back(PyBytes_AS_STRING(utf8.get()), static_cast<size_t>(PyBytes_GET_SIZE(utf8.get())));
    }
    const std::vector<std::string_view> views(values.begin(), values.end());
    body.options.file_names = columns::TextDictionary::of(views);
    return true;
}

bool check_options(const SourceBody& body, Py_ssize_t batch_size, Py_ssize_t limit) {
    const varnel::LiveOptions& live = body.settings.live;
    if (body.options.batch_timeout_ms < 1 || limit < 0 || live.snapshot_length < 1 || live.timeout_ms < 1 ||
        live.buffer_size < 0) {
        PyErr_SetString(PyExc_ValueError,
                        "batch_timeout_ms, snaplen and timeout_ms must be positive, limit and buffer_size not negative");
        return false;
    }
    if (batch_size < 1 || static_cast<size_t>(batch_size) > columns::kMaxBatchSize) {
        PyErr_Format(PyExc_ValueError, "batch_size must be between 1 and %zu, not %zd", columns::kMaxBatchSize,
                     batch_size);
        return false;
    }
    if (body.live && body.inputs.size() != 1) {
        PyErr_SetString(PyExc_ValueError, "a live source reads one device");
        return false;
    }
    return true;
}

PyObject* source_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"rows",           "locations", "live",     "ranges",     "filter",
                                     "skip_vlan",      "batch_size", "timestamp_column", "flow_key", "continuous",
                                     "batch_timeout_ms", "limit",   "snaplen",  "promisc",    "timeout_ms",
                                     "buffer_size",    "immediate", "range_summary", "names", "jobs",
                                     "file_column",    "keep_going", "file_names", "connections", "dictionary",
                                     nullptr};
    auto body = std::make_unique<SourceBody>();
    const char* rows = nullptr;
    PyObject* locations = nullptr;
    PyObject* ranges = Py_None;
    PyObject* names = Py_None;
    PyObject* file_names = Py_None;
    PyObject* connection_options = Py_None;
    const char* filter = nullptr;
    Py_ssize_t batch_size = static_cast<Py_ssize_t>(columns::kDefaultBatchSize);
    Py_ssize_t limit = 0;
    Py_ssize_t jobs = 1;
    int live = 0, skip_vlan = 0, timestamp_column = 0, flow_key = 0, continuous = 0, promisc = 1, immediate = 0;
    int range_summary = 0, file_column = 0, keep_going = 0, dictionary = 0;
    varnel::LiveOptions& live_options = body->settings.live;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO!|$pOzpnpppinipiippOnppOOp:ColumnSource", const_cast<char**>(keywords),
                                     &rows, &PyTuple_Type, &locations, &live, &ranges, &filter, &skip_vlan,
                                     &batch_size, &timestamp_column, &flow_key, &continuous,
                                     &body->options.batch_timeout_ms, &limit, &live_options.snapshot_length, &promisc,
                                     &live_options.timeout_ms, &live_options.buffer_size, &immediate,
                                     &range_summary, &names, &jobs, &file_column, &keep_going, &file_names,
                                     &connection_options, &dictionary)) {
        return nullptr;
    }
    if (std::strcmp(rows, "packets") == 0) {
        body->options.rows = columns::RowKind::Packets;
    } else if (std::strcmp(rows, "features") == 0) {
        body->options.rows = columns::RowKind::Features;
    } else if (std::strcmp(rows, "connections") == 0 && connection_options != Py_None) {
        body->options.rows = columns::RowKind::Connections;
        auto services = std::make_shared<varnel::connections::ServiceTable>();
        if (!varnel::read_connection_options(connection_options, body->options.connection, *services)) return nullptr;
        body->options.services = std::move(services);
    } else {
        PyErr_Format(PyExc_ValueError, "rows must be 'packets', 'features' or 'connections' (with its options), "
                     "not '%.200s'", rows);
        return nullptr;
    }
    if (dictionary != 0 && body->options.rows != columns::RowKind::Packets) {
        PyErr_SetString(PyExc_ValueError, "dictionary applies to packet rows only");
        return nullptr;
    }
    body->options.dictionary = dictionary != 0;
    body->live = live != 0;
    if (!parse_locations(locations, ranges, body->live, body->inputs) || !parse_names(names, body->inputs) ||
        !check_options(*body, batch_size, limit)) {
        return nullptr;
    }
    if (jobs < 1 || (jobs > 1 && (body->live || continuous))) {
        PyErr_SetString(PyExc_ValueError, "jobs must be positive, and 1 for a device or continuous inputs");
        return nullptr;
    }
    body->jobs = static_cast<size_t>(jobs);
    body->options.batch_size = static_cast<size_t>(batch_size);
    body->options.limit = static_cast<uint64_t>(limit);
    body->options.timestamp_column = timestamp_column != 0;
    body->options.flow_key = flow_key != 0;
    body->options.continuous = continuous != 0;
    body->options.range_summary = range_summary != 0 && body->options.rows == columns::RowKind::Features;
    if (file_column != 0 && !set_file_names(*body, file_names != Py_None ? file_names : names)) return nullptr;
    body->settings.keep_going = keep_going != 0;
    body->settings.link.decode_vlan = skip_vlan == 0;
    if (filter != nullptr) body->settings.filter = filter;
    live_options.promiscuous = promisc != 0;
    live_options.immediate = immediate != 0;
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    as_source(object)->body = body.release();
    return object;
}

void source_dealloc(PyObject* object) {
    delete as_source(object)->body;
    as_source(object)->body = nullptr;
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyMethodDef source_methods[] = {
    varnel::method<arrow_c_schema>("__arrow_c_schema__", METH_NOARGS,
                                   "__arrow_c_schema__($self)\n--\n\nThe columns' Arrow schema, in a capsule."),
    varnel::method<arrow_c_stream>("__arrow_c_stream__",
                                   "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
                                   "A fresh read of the files as an Arrow C stream, in a capsule."),
    varnel::method<stats>("stats", METH_NOARGS,
                          "stats($self)\n--\n\nWhat the latest stream exported met: frames, rows, warnings."),
    varnel::method<end_read>("end_read", METH_NOARGS,
                             "end_read($self)\n--\n\nEnds the latest stream as if every input had ended: its "
                             "connection records end every open connection first."),
    varnel::method<runs>("runs", METH_NOARGS,
                         "runs($self)\n--\n\nEach destination's runs in a finished read of a byte range; None "
                         "before."),
    varnel::method<problems>("problems", METH_NOARGS,
                             "problems($self)\n--\n\nThe latest stream's warnings, then its error, as (kind, "
                             "file, reason, fatal) tuples."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot source_slots[] = {
    varnel::slot<source_new>(Py_tp_new),
    varnel::slot<source_dealloc>(Py_tp_dealloc),
    varnel::data_slot(Py_tp_methods, source_methods),
    {0, nullptr},
};

// No GC flag: the object holds no interpreter objects.
PyType_Spec source_spec = {
    "varnel._columns.ColumnSource", sizeof(ColumnSourceObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, source_slots,
};

// ---- TextEncoder: a stream's batches as CSV or JSON lines text.

struct EncoderBody {
    ArrowArrayStream stream{};
    ArrowSchema schema{};
    std::unique_ptr<columns::TextLayout> layout;
    bool ended = false;

    EncoderBody() = default;
    EncoderBody(const EncoderBody&) = delete;
    EncoderBody& operator=(const EncoderBody&) = delete;
    EncoderBody(EncoderBody&&) = delete;
    EncoderBody& operator=(EncoderBody&&) = delete;
    ~EncoderBody() {
        if (schema.release != nullptr) schema.release(&schema);
        if (stream.release != nullptr) stream.release(&stream);
    }
};

struct TextEncoderObject {
    PyObject_HEAD
    EncoderBody* body;
};

TextEncoderObject* as_encoder(PyObject* object) { return reinterpret_cast<TextEncoderObject*>(object); }

// The file column's ready-made cells: a tuple of bytes, one per file, or None.
bool parse_file_cells(PyObject* cells, std::vector<std::string>& result) {
    if (cells == Py_None) return true;
    if (!PyTuple_Check(cells)) {
        PyErr_SetString(PyExc_TypeError, "file_cells must be a tuple of bytes or None");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cells); ++i) {
        PyObject* cell = PyTuple_GET_ITEM(cells, i);
        if (!PyBytes_Check(cell)) {
            PyErr_SetString(PyExc_TypeError, "file_cells must be a tuple of bytes or None");
            return false;
        }
        result.emplace_back(PyBytes_AS_STRING(cell), static_cast<size_t>(PyBytes_GET_SIZE(cell)));
    }
    return true;
}

// TextEncoder(stream_capsule, format, file_cells=None): takes the stream over from the capsule (left
// released); `format` is "csv" or "jsonl"; `file_cells` (bytes, one per file) are written for the
// file column, already in the format's text.
PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* capsule = nullptr;
    const char* format = nullptr;
    PyObject* file_cells = Py_None;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "TextEncoder() takes no keyword arguments");
        return nullptr;
    }
    std::vector<std::string> cells;
    if (!PyArg_ParseTuple(args, "Os|O:TextEncoder", &capsule, &format, &file_cells) ||
        !parse_file_cells(file_cells, cells)) {
        return nullptr;
    }
    columns::TextFormat text_format = columns::TextFormat::Csv;
    if (std::strcmp(format, "jsonl") == 0) {
        text_format = columns::TextFormat::JsonLines;
    } else if (std::strcmp(format, "csv") != 0) {
        PyErr_Format(PyExc_ValueError, "format must be 'csv' or 'jsonl', not '%.200s'", format);
        return nullptr;
    }
    auto* given = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (given == nullptr) return nullptr;
    if (given->release == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the stream was already consumed");
        return nullptr;
    }
    auto body = std::make_unique<EncoderBody>();
    body->stream = *given;
    given->release = nullptr;  // ours now: the capsule's destructor leaves it alone
    if (body->stream.get_schema(&body->stream, &body->schema) != 0) {
        PyErr_SetString(PyExc_RuntimeError, "the stream gave no schema");
        return nullptr;
    }
    try {
        body->layout = std::make_unique<columns::TextLayout>(body->schema, text_format, std::move(cells));
    } catch (const std::invalid_argument& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
        return nullptr;
    }
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    as_encoder(object)->body = body.release();
    return object;
}

// read(max_rows=-1): the next batch as text, (bytes, rows), at most `max_rows` rows of it (the
// rest of that batch is dropped); None at the end. The batch is filled and written with the
// interpreter lock released.
PyObject* encoder_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "read() takes at most 1 argument (%zd given)", nargs);
        return nullptr;
    }
    long long max_rows = -1;
    if (nargs == 1) {
        max_rows = PyLong_AsLongLong(args[0]);
        if (max_rows == -1 && PyErr_Occurred()) return nullptr;
    }
    EncoderBody& body = *as_encoder(self)->body;
    if (body.ended) Py_RETURN_NONE;
    std::string text;
    ArrowArray batch{};
    int status = 0;
    bool end = false;
    bool out_of_memory = false;
    int64_t rows = 0;
    {
        varnel::LockReleased unlocked;  // taken back however the text's writing ends
        status = body.stream.get_next(&body.stream, &batch);
        end = status == 0 && batch.release == nullptr;
        if (status == 0 && !end) {
            rows = max_rows >= 0 && max_rows < batch.length ? max_rows : batch.length;
            try {
                text.reserve(static_cast<size_t>(rows) * 128);
                body.layout->append(batch, rows, text);
            } catch (const std::bad_alloc&) {
                out_of_memory = true;
            }
            batch.release(&batch);
        }
    }
    if (out_of_memory) return PyErr_NoMemory();
    if (status != 0) {
        body.ended = true;
        const char* reason = body.stream.get_last_error(&body.stream);
        return varnel::raise_with_pcap_text(PyExc_RuntimeError, "", reason != nullptr ? reason : std::strerror(status));
    }
    if (end) {
        body.ended = true;
        body.stream.release(&body.stream);  // the capture closes now, not when the object goes
        Py_RETURN_NONE;
    }
    Ref data = Ref::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!data) return nullptr;
    return Py_BuildValue("(OL)", data.get(), static_cast<long long>(rows));
}

// close(): the capture closes at once.
PyObject* encoder_close(PyObject* self, PyObject*) {
    EncoderBody& body = *as_encoder(self)->body;
    body.ended = true;
    if (body.stream.release != nullptr) body.stream.release(&body.stream);
    Py_RETURN_NONE;
}

void encoder_dealloc(PyObject* object) {
    delete as_encoder(object)->body;
    as_encoder(object)->body = nullptr;
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyMethodDef encoder_methods[] = {
    varnel::method<encoder_read>("read", METH_FASTCALL,
                                 "read($self, max_rows=-1, /)\n--\n\nThe next batch as (text, rows); None at the end."),
    varnel::method<encoder_close>("close", METH_NOARGS, "close($self)\n--\n\nCloses the stream and its capture."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoder_slots[] = {
    varnel::slot<encoder_new>(Py_tp_new),
    varnel::slot<encoder_dealloc>(Py_tp_dealloc),
    varnel::data_slot(Py_tp_methods, encoder_methods),
    {0, nullptr},
};

PyType_Spec encoder_spec = {
    "varnel._columns.TextEncoder", sizeof(TextEncoderObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, encoder_slots,
};

// split_points(path, split_bytes, guess=False): the byte ranges, [(start, stop), ...], at record
// (pcapng: block) boundaries, that cut a capture file into pieces of about `split_bytes`, walked or
// (classic pcap, `guess`) guessed; None where the file is read whole (also one that cannot be read
// as a capture: reading it says why).
PyObject* split_points(PyObject*, PyObject* args) {
    PyObject* path = nullptr;
    unsigned long long split_bytes = 0;
    int guess = 0;
    if (!PyArg_ParseTuple(args, "O&K|p:split_points", PyUnicode_FSConverter, &path, &split_bytes, &guess)) {
        return nullptr;
    }
    Ref owned = Ref::steal(path);
    std::vector<std::pair<uint64_t, uint64_t>> pieces;
    varnel::CaptureError error;
    bool readable = false;
    {
        varnel::LockReleased unlocked;
        readable = varnel::split_points(PyBytes_AS_STRING(path), split_bytes,
                                        guess ? varnel::Cuts::Guessed : varnel::Cuts::Walked, &pieces, &error);
    }
    // A file that cannot be opened is read whole: reading it says what is wrong.
    if (!readable || (pieces.size() == 1 && pieces[0].second == varnel::kWholeFile)) Py_RETURN_NONE;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& [start, stop] : pieces) {
        Ref piece = Ref::steal(Py_BuildValue("(KK)", static_cast<unsigned long long>(start),
                                             static_cast<unsigned long long>(stop)));
        if (!piece || PyList_Append(list.get(), piece.get()) < 0) return nullptr;
    }
    return list.release();
}

// float_repr(value): the text the writers give a float, for tests against repr().
PyObject* float_repr(PyObject*, PyObject* value) {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) return nullptr;
    char text[40];
    return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(columns::write_float_repr(number, text)));
}

PyMethodDef module_methods[] = {
    varnel::method<float_repr>("float_repr", METH_O, "float_repr(value, /)\n--\n\nA float as the text writers give it."),
    varnel::method<split_points>("split_points", METH_VARARGS,
                                 "split_points(path, split_bytes, guess=False, /)\n--\n\nRecord boundaries cutting a "
                                 "capture file into byte ranges of about split_bytes, walked or (classic pcap) "
                                 "guessed; None where it is read whole."),
    varnel::method<varnel::chain_carries>(
        "chain_carries", METH_VARARGS,
        "chain_carries(runs, threshold, /)\n--\n\nThe counts carried across the byte ranges of one capture, from "
        "each range's runs(): per range, bytes of uint32 per destination code; None where they cannot be proved "
        "exact with `threshold` hosts per address family."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "varnel._columns",
    "Capture files as Arrow record batches (the native side of varnel.columns).", -1,
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
    host_table::seed_hash();
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module.get(), &source_spec, nullptr));
    if (!type || PyModule_AddObjectRef(module.get(), "ColumnSource", type.get()) < 0) return nullptr;
    Ref encoder = Ref::steal(PyType_FromModuleAndSpec(module.get(), &encoder_spec, nullptr));
    if (!encoder || PyModule_AddObjectRef(module.get(), "TextEncoder", encoder.get()) < 0) return nullptr;
    if (PyModule_AddIntConstant(module.get(), "MAX_BATCH_SIZE", static_cast<long>(columns::kMaxBatchSize)) < 0 ||
        PyModule_AddIntConstant(module.get(), "READ_AHEAD_BYTES", static_cast<long>(columns::kReadAheadBytes)) < 0) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

// The interpreter derives this name from the module's, leading underscore and all.
PyMODINIT_FUNC PyInit__columns() {  // NOLINT(bugprone-reserved-identifier)
    return varnel::guarded_init<init_module>();
}
