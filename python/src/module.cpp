// The compiled half of the Python package `korv`: the API object, the
// update record and the batch hand-over. The pure-Python half (korv/) gives
// them their Python names and keyword arguments.
//
// Waiting for updates never holds the interpreter's lock, and wakes every
// 50 ms to let Python run its signal handlers, so Ctrl-C interrupts a
// waiting reader promptly.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <cstring>

#include "PyUserApi.h"
#include "source/korv_user/KorvUserApi.h"
#ifdef KORV_PYTHON_REPLAY
#include "PyReplay.h"
#endif

// std::invalid_argument reaches Python as ValueError and every other
// exception of PyUserApi as RuntimeError, through pybind11's own translation.

namespace py = pybind11;
using namespace korv_python;
using KORV::FEED::ConflatingQueue;
using KORV::FEED::FeedRecord;

namespace {

constexpr std::chrono::nanoseconds SIGNAL_SLICE = std::chrono::milliseconds(50);

template <size_t N>
py::str text(const char (&field)[N])
{
    size_t length = strnlen(field, N);
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeLatin1(field, Py_ssize_t(length), nullptr));
}

py::object optional_price(double value)
{
    return std::isnan(value) ? py::none() : py::object(py::float_(value));
}

// "HH:MM:SS" and milliseconds as a datetime.time; None when the text is not
// a time of day.
py::object time_of_day(const char (&field)[9], int millisec)
{
    int hour, minute, second;
    char end;
    if (sscanf(field, "%2d:%2d:%2d%c", &hour, &minute, &second, &end) != 3 || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisec < 0 ||
        millisec > 999)
        return py::none();
    static py::object time_type = py::module_::import("datetime").attr("time");
    return time_type(hour, minute, second, millisec * 1000);
}

struct Level {
    double price;
    int volume;
};

std::vector<Level> side(const double* prices, const int32_t* volumes, int count)
{
    std::vector<Level> levels;
    for (int i = 0; i < count && i < LEVEL_COUNT; ++i)
        levels.push_back({prices[i], volumes[i]});
    return levels;
}

// Runs attempt() without the interpreter's lock, in slices of at most
// SIGNAL_SLICE, until it finds something, the queue is closed or timeout
// seconds (forever when None) have passed; raises what a signal handler
// raised meanwhile. attempt(wait) waits at most wait and returns a count.
template <class Attempt>
size_t wait_for(ConflatingQueue& queue, py::object timeout, Attempt&& attempt)
{
    using clock = std::chrono::steady_clock;
    bool forever = timeout.is_none();
    double seconds = forever ? 0.0 : timeout.cast<double>();
    if (!forever && !(seconds >= 0.0))
        throw py::value_error("timeout must be None or a number of seconds >= 0");
    clock::time_point deadline =
        clock::now() + std::chrono::duration_cast<clock::duration>(
                           std::chrono::duration<double>(forever ? 0.0 : seconds));
    for (;;) {
        std::chrono::nanoseconds wait = SIGNAL_SLICE;
        if (!forever)
            wait = std::max(std::chrono::nanoseconds(0),
                            std::min<std::chrono::nanoseconds>(deadline - clock::now(), wait));
        size_t n;
        {
            py::gil_scoped_release release;
            n = attempt(wait);
        }
        if (n != 0 || queue.closed() || (!forever && clock::now() >= deadline))
            return n;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
    }
}

// The rows of a writable one-dimensional array of the batch layout.
UpdateRecord* batch_rows(py::buffer out, size_t& rows)
{
    py::buffer_info info = out.request(true);
    if (info.ndim != 1 || info.itemsize != py::ssize_t(sizeof(UpdateRecord)) ||
        info.strides[0] != info.itemsize)
        throw py::value_error("out must be a one-dimensional contiguous array of korv.DTYPE");
    rows = size_t(info.shape[0]);
    return static_cast<UpdateRecord*>(info.ptr);
}

// The trace stream the package opened, closed when replaced.
FILE* g_trace_file = nullptr;

void switch_trace(FILE* stream, FILE* owned)
{
    BRAX::KORV_USER_API::set_trace_output(stream);
    if (g_trace_file != nullptr)
        fclose(g_trace_file);
    g_trace_file = owned;
}

}  // namespace

PYBIND11_MODULE(_korv, m)
{
    m.doc() = "Compiled core of the korv package; use korv.UserApi.";

    py::class_<Level>(m, "Level")
        .def_readonly("price", &Level::price)
        .def_readonly("volume", &Level::volume)
        .def("__iter__", [](const Level& l) { return py::iter(py::make_tuple(l.price, l.volume)); })
        .def("__eq__", [](const Level& a,
                          const Level& b) { return a.price == b.price && a.volume == b.volume; })
        .def("__repr__", [](const Level& l) {
            return "Level(price=" + py::repr(py::float_(l.price)).cast<std::string>() +
                   ", volume=" + std::to_string(l.volume) + ")";
        });

    py::class_<UpdateRecord> update(m, "Update");
    update.def_readonly("handler_ns", &UpdateRecord::handler_ns)
        .def_readonly("topic_id", &UpdateRecord::topic_id)
        .def_readonly("packet_no", &UpdateRecord::packet_no)
        .def_property_readonly("session_day",
                               [](const UpdateRecord& r) { return text(r.session_day); })
        .def_property_readonly("session_code",
                               [](const UpdateRecord& r) { return text(r.session_code); })
        .def_readonly("session_no", &UpdateRecord::session_no)
        .def_property_readonly("snap_date", [](const UpdateRecord& r) { return text(r.snap_date); })
        .def_property_readonly(
            "snap_time",
            [](const UpdateRecord& r) { return time_of_day(r.snap_time, r.snap_millisec); })
        .def_property_readonly("snap_time_text",
                               [](const UpdateRecord& r) { return text(r.snap_time); })
        .def_readonly("snap_millisec", &UpdateRecord::snap_millisec)
        .def_property_readonly("instrument_id",
                               [](const UpdateRecord& r) { return text(r.instrument_id); })
        .def_readonly("volume", &UpdateRecord::volume)
        .def_readonly("snap_value4", &UpdateRecord::snap_value4)
        .def_property_readonly("update_date",
                               [](const UpdateRecord& r) { return text(r.update_date); })
        .def_property_readonly(
            "update_time",
            [](const UpdateRecord& r) { return time_of_day(r.update_time, r.update_millisec); })
        .def_property_readonly("update_time_text",
                               [](const UpdateRecord& r) { return text(r.update_time); })
        .def_readonly("update_millisec", &UpdateRecord::update_millisec)
        .def_property_readonly(
            "bids",
            [](const UpdateRecord& r) { return side(r.bid_price, r.bid_volume, r.bid_count); })
        .def_property_readonly("asks", [](const UpdateRecord& r) {
            return side(r.ask_price, r.ask_volume, r.ask_count);
        });
    // Every price-like column: None when absent.
    for (const RecordColumn& column : record_columns()) {
        if (strcmp(column.type, "<f8") != 0 || column.count != 1)
            continue;
        size_t offset = column.offset;
        update.def_property_readonly(column.name, [offset](const UpdateRecord& r) {
            double value;
            memcpy(&value, reinterpret_cast<const char*>(&r) + offset, sizeof value);
            return optional_price(value);
        });
    }
    update.def("__repr__", [](const UpdateRecord& r) {
        return "Update(topic_id=" + std::to_string(r.topic_id) + ", instrument_id='" +
               text(r.instrument_id).cast<std::string>() + "')";
    });

    m.def(
        "record_layout",
        [] {
            py::list columns;
            for (const RecordColumn& c : record_columns())
                columns.append(py::make_tuple(c.name, c.type, c.count, c.offset));
            return py::make_tuple(columns, sizeof(UpdateRecord));
        },
        "The columns of the batch record as (name, type, count, offset), and its size.");

    // Counters as dicts: snake_case names of the C++ fields.
    auto topic_dict = [](const BRAX::KORV_USER_API::KorvTopicCounters& c) {
        py::dict d;
        d["topic_id"] = c.TopicID;
        d["line_count"] = c.LineCount;
        d["state"] = c.State;
        d["packets"] = c.Packets;
        d["reply_packets"] = c.ReplyPackets;
        d["applied"] = c.Applied;
        d["duplicates"] = c.Duplicates;
        d["gaps"] = c.Gaps;
        d["recovered"] = c.Recovered;
        d["gap_queries"] = c.GapQueries;
        d["snapshot_queries"] = c.SnapshotQueries;
        d["snapshots"] = c.Snapshots;
        d["refused_far_ahead"] = c.RefusedFarAhead;
        d["refused_content"] = c.RefusedContent;
        d["refused_decrypt"] = c.RefusedDecrypt;
        d["refused_events"] = c.RefusedEvents;
        d["refused_no_cipher"] = c.RefusedNoCipher;
        d["refused_cache_full"] = c.RefusedCacheFull;
        d["refused_by_snapshot"] = c.RefusedBySnapshot;
        d["refused_reply"] = c.RefusedReply;
        d["copies_differ"] = c.CopiesDiffer;
        d["forged_applied"] = c.ForgedApplied;
        d["cache_depth"] = c.CacheDepth;
        d["last_packet_no"] = c.LastPacketNo;
        d["last_packet_age_ms"] = c.LastPacketAgeMs;
        d["handler_calls"] = c.HandlerCalls;
        d["deliveries"] = c.Deliveries;
        d["handler_time_us"] = c.HandlerTimeUs;
        d["handler_time_histogram"] = std::vector<uint64_t>(
            c.HandlerTime, c.HandlerTime + BRAX::KORV_USER_API::KORV_HANDLER_TIME_BUCKETS);
        return d;
    };
    auto line_dict = [](const BRAX::KORV_USER_API::KorvLineCounters& c) {
        py::dict d;
        d["line"] = c.Line;
        d["datagrams"] = c.Datagrams;
        d["bytes"] = c.Bytes;
        d["packets"] = c.Packets;
        d["other_topic_packets"] = c.OtherTopicPackets;
        d["refused_no_header"] = c.RefusedNoHeader;
        d["refused_cut_short"] = c.RefusedCutShort;
        d["channel_errors"] = c.ChannelErrors;
        d["last_packet_no"] = c.LastPacketNo;
        d["last_packet_age_ms"] = c.LastPacketAgeMs;
        return d;
    };

    py::class_<PyUserApi>(m, "_Api")
        .def(py::init<size_t>(), py::arg("queue_size"))
        .def("set_log_file", &PyUserApi::set_log_file)
        .def("reg_mdqp_location", &PyUserApi::reg_mdqp_location)
        .def("reg_mirp_location", &PyUserApi::reg_mirp_location)
        .def("set_authentication", &PyUserApi::set_authentication)
        .def("subscribe_topic", &PyUserApi::subscribe_topic)
        .def("set_counters_file", &PyUserApi::set_counters_file)
        .def("set_receive_mode", &PyUserApi::set_receive_mode, py::arg("spin"), py::arg("cpu"))
        .def("topic_counters",
             [topic_dict](const PyUserApi& api, int topic_id) {
                 return topic_dict(api.topic_counters(topic_id));
             })
        .def("line_counters", [line_dict](const PyUserApi& api,
                                          int line) { return line_dict(api.line_counters(line)); })
        .def("start", &PyUserApi::start, py::call_guard<py::gil_scoped_release>())
        .def("close", &PyUserApi::close, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("started", &PyUserApi::started)
        .def_property_readonly("closed", &PyUserApi::closed)
        .def_property_readonly("queue_size",
                               [](PyUserApi& api) { return api.queue().counts().bound; })
        .def(
            "queue_counts",
            [](PyUserApi& api) {
                ConflatingQueue::Counts c = api.queue().counts();
                py::dict d;
                d["delivered"] = c.delivered;
                d["read"] = c.read;
                d["pending"] = c.pending;
                d["conflated"] = c.conflated;
                d["dropped"] = c.dropped;
                d["allocated"] = c.allocated;
                d["bound"] = c.bound;
                return d;
            },
            "The queue's counts, taken together.")
        .def(
            "take",
            [](PyUserApi& api, py::object timeout) -> py::object {
                UpdateRecord record;
                size_t n = wait_for(api.queue(), timeout, [&](std::chrono::nanoseconds wait) {
                    return api.queue().take(1, wait, [&record](const FeedRecord& update) {
                        copy_update(record, update);
                    });
                });
                return n == 0 ? py::none() : py::cast(record);
            },
            py::arg("timeout"), "The next update, or None on time-out or once closed and drained.")
        .def(
            "wait_pending",
            [](PyUserApi& api, py::object timeout) {
                return wait_for(api.queue(), timeout, [&](std::chrono::nanoseconds wait) {
                    return api.queue().wait_pending(wait);
                });
            },
            py::arg("timeout"),
            "How many updates are pending, waiting for one at most timeout seconds.")
        .def(
            "take_into",
            [](PyUserApi& api, py::buffer out, py::object timeout) {
                size_t rows;
                UpdateRecord* records = batch_rows(out, rows);
                if (rows == 0)
                    return size_t(0);
                return wait_for(api.queue(), timeout, [&](std::chrono::nanoseconds wait) {
                    size_t n = 0;
                    return api.queue().take(rows, wait, [&](const FeedRecord& update) {
                        copy_update(records[n++], update);
                    });
                });
            },
            py::arg("out"), py::arg("timeout"),
            "Fills the rows of out (an array of the batch layout) with pending updates, "
            "waiting at most timeout seconds for the first; returns how many.");

    m.def(
        "set_trace_output",
        [](py::object where) {
            if (where.is_none()) {
                switch_trace(nullptr, nullptr);
                return;
            }
            std::string target = py::str(where);
            if (target == "stdout") {
                switch_trace(stdout, nullptr);
            } else if (target == "stderr") {
                switch_trace(stderr, nullptr);
            } else {
                FILE* file = fopen(target.c_str(), "a");
                if (file == nullptr)
                    throw py::value_error("set_trace_output: cannot open '" + target +
                                          "' for appending");
                setvbuf(file, nullptr, _IOLBF, 0);
                switch_trace(file, file);
            }
        },
        py::arg("where"),
        "Sends the library's trace lines nowhere (None), to 'stdout', 'stderr' or a file "
        "(appended).");
    // A Python program's output is its own: the library's trace lines are
    // off until it asks for them.
    switch_trace(nullptr, nullptr);

#ifdef KORV_PYTHON_REPLAY
    py::class_<PyReplay>(m, "_Replay")
        .def(py::init<const std::string&, double, const std::vector<int>&,
                      const std::vector<std::string>&, const std::vector<std::string>&>(),
             py::arg("path"), py::arg("speed"), py::arg("topics"), py::arg("lines"),
             py::arg("market_args"))
        .def(
            "next",
            [](PyReplay& replay) -> py::object {
                UpdateRecord record;
                bool more;
                {
                    py::gil_scoped_release release;
                    more = replay.next(record);
                }
                return more ? py::cast(record) : py::none();
            },
            "The next update of the file, or None at its end.")
        .def(
            "take_batch",
            [](PyReplay& replay, size_t max_rows) {
                if (max_rows == 0)
                    throw py::value_error("max_rows must be at least 1");
                std::vector<UpdateRecord> records;
                {
                    py::gil_scoped_release release;
                    UpdateRecord record;
                    while (records.size() < max_rows && replay.next(record))
                        records.push_back(record);
                }
                return py::bytearray(reinterpret_cast<const char*>(records.data()),
                                     records.size() * sizeof(UpdateRecord));
            },
            py::arg("max_rows"), "Up to max_rows updates as raw bytes of the batch layout.");
#endif
}
