// vorn_r10._core: decode() through the shared library with vorn-decode's engine, and
// counters() through the counters reader vorn-stat uses.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "VornCffexMd_interface.h"
#include "capture_feed.h"
#include "capture_reader.h"
#include "capture_tally.h"
#include "counters_module.h"
#include "decode_rows.h"
#include "library_output.h"
#include "private_connector.h"
#include "snapshot_facts.h"
#include "vorn_sim_card.h"

namespace py = pybind11;

namespace vorn_python {
namespace {

// One decode per process at a time: the library's callbacks and its stop signal are the
// process's.
std::atomic<bool> g_busy{false};
RowTable* g_table = nullptr;

void OnVersion1(MarketDepthUpdate* record) { g_table->Add(record); }
void OnVersion2(VornCffexMdType* record) { g_table->Add(record); }

// How often a waiting decode looks for a pending Ctrl-C.
constexpr std::chrono::milliseconds kInterruptPoll{50};
// How long an interrupted decode waits for the connector to end on the library's own SIGINT.
constexpr std::chrono::milliseconds kOwnStopWait{1000};

// vorn_r10.Error, set when the module is loaded.
PyObject* g_error = nullptr;

[[noreturn]] void Fail(const std::string& message) {
    PyErr_SetString(g_error, message.c_str());
    throw py::error_already_set();
}

class BusyGuard {
public:
    BusyGuard() {
        if (g_busy.exchange(true))
            Fail("a decode is already running in this process; decode in parallel with one process per decode");
    }
    ~BusyGuard() { g_busy = false; }
};

// The library's SIGINT and SIGTERM handlers are the process's for as long as a decode runs and
// the application's again afterwards: a Ctrl-C between decodes stays Python's alone, and the
// library's own stop signal (SIGTERM) is not passed on to a handler of the application. The
// library installs its handlers once per process, on its first start; they are kept from then.
class SignalScope {
public:
    SignalScope() {
        sigaction(SIGINT, nullptr, &savedInt_);
        sigaction(SIGTERM, nullptr, &savedTerm_);
        if (s_known) {
            sigaction(SIGINT, &s_libraryInt, nullptr);
            sigaction(SIGTERM, &s_libraryTerm, nullptr);
        } else {
            // The library chains to what it finds: for SIGTERM, nothing.
            struct sigaction plain {};
            plain.sa_handler = SIG_DFL;
            sigemptyset(&plain.sa_mask);
            sigaction(SIGTERM, &plain, nullptr);
        }
    }
    // Once the connector ran its start-up: its handlers are in place.
    void Started() {
        if (s_known) return;
        sigaction(SIGINT, nullptr, &s_libraryInt);
        sigaction(SIGTERM, nullptr, &s_libraryTerm);
        s_known = true;
    }
    ~SignalScope() {
        sigaction(SIGINT, &savedInt_, nullptr);
        sigaction(SIGTERM, &savedTerm_, nullptr);
    }

private:
    struct sigaction savedInt_ {
    }, savedTerm_{};
    static inline bool s_known = false;
    static inline struct sigaction s_libraryInt { }, s_libraryTerm{}; };

// A private directory for the library's standard output, removed with what it holds.
class OutputDirectory {
public:
    OutputDirectory() {
        // The process id in the name tells whose it is.
        std::string pattern = "/tmp/vorn_r10_py." + std::to_string(getpid()) + ".XXXXXX";
        if (mkdtemp(&pattern[0])) dir_ = pattern;
    }
    ~OutputDirectory() {
        if (dir_.empty()) return;
        unlink(File().c_str());
        rmdir(dir_.c_str());
    }
    bool Made() const { return !dir_.empty(); }
    std::string File() const { return dir_ + "/library.out"; }

private:
    std::string dir_;
};

// The library's error lines in its output, one per line.
std::string LibraryErrors(const std::string& path) {
    std::string errors;
    for (const std::string& line : vorn_decode::LibraryErrorLines(path)) errors += "\n  " + line;
    return errors;
}

std::string AbsolutePath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

std::string PathText(const py::object& path) {
    return py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
}

py::array RowsAsArray(RowTable& table) {
    py::list fields;
    for (const RowColumn& column : table.Columns()) fields.append(py::make_tuple(column.name, column.format));
    const py::dtype dtype = py::dtype::from_args(fields);
    if (static_cast<size_t>(dtype.itemsize()) != table.RowBytes())
        Fail("internal error: row layout differs from numpy's");
    const size_t rows = table.Rows();
    char* const block = table.Release();
    if (!block) throw std::bad_alloc();
    py::capsule owner(block, [](void* p) { free(p); });
    return py::array(dtype, {static_cast<py::ssize_t>(rows)}, {static_cast<py::ssize_t>(table.RowBytes())}, block,
                     owner);
}

// What the run ended with, decided without the interpreter's lock; turned into an exception
// or a result once it is held again.
struct Outcome {
    bool interrupted = false; // a Ctrl-C (KeyboardInterrupt is pending)
    std::string error;        // empty: the rows stand
    bool partial = false;     // the error comes with the rows decoded before it
};

// vorn_r10.Error with the rows decoded before the failure as its `rows` attribute.
[[noreturn]] void FailWithRows(const std::string& message, py::array rows) {
    py::object error = py::reinterpret_borrow<py::object>(g_error)(message);
    error.attr("rows") = std::move(rows);
    PyErr_SetObject(g_error, error.ptr());
    throw py::error_already_set();
}

py::array Decode(const py::object& capturePath, const py::object& snapshotPath, const std::string& insts,
                 const std::string& options, int version, bool allowTruncated) {
    if (version != 1 && version != 2) throw py::value_error("version wants 1 or 2, not " + std::to_string(version));
    if (options != "recv" && options != "norecv")
        throw py::value_error("options wants recv or norecv, not '" + options + "'");
    const std::string capture = PathText(capturePath), snapshot = PathText(snapshotPath);
    // Both become lines of the connector's configuration file.
    if (insts.find_first_of("\r\n") != std::string::npos) throw py::value_error("insts wants one line of text");
    if (snapshot.find_first_of("\r\n") != std::string::npos)
        throw py::value_error("the snapshot's path has a line break");
    BusyGuard busy;

    vorn_decode::SnapshotFacts facts;
    std::string error;
    if (!vorn_decode::ReadSnapshotFacts(snapshot, facts, error)) Fail(error);
    vorn_tools::CaptureReader reader;
    if (!reader.Open(capture)) Fail(reader.Error());
    OutputDirectory output;
    if (!output.Made()) Fail(std::string("cannot make a private directory: ") + strerror(errno));

    RowTable table(version, facts.trade_date);
    vorn_decode::ConnectorSettings settings;
    settings.snapshot = AbsolutePath(snapshot);
    settings.insts = insts;
    settings.options = options == "recv";
    settings.library_output = output.File();
    vorn_decode::CaptureTally tally(facts.channels);
    std::atomic<bool> cancel{false};
    Outcome outcome;
    {
        SignalScope signals;
        py::gil_scoped_release unlocked;
        g_table = &table;
        set_parse_data(version == 1 ? OnVersion1 : nullptr);
        set_parse_data_version_2(version == 2 ? OnVersion2 : nullptr);
        vorn_decode::PrivateConnector connector;
        vorn_decode::CaptureFeed feed(reader, connector, tally, false, cancel);
        if (!connector.Create(settings, error)) {
            outcome.error = error;
        } else if (!connector.FeedFromReceiveThread(vorn_decode::CaptureFeed::RefillHook, &feed)) {
            outcome.error = vorn_sim_last_error();
        } else {
            using Started = vorn_decode::PrivateConnector::Started;
            const Started started = connector.Start();
            signals.Started();
            if (started == Started::Software) {
                feed.Begin();
                for (;;) {
                    const bool read = feed.WaitUntilRead(kInterruptPoll);
                    py::gil_scoped_acquire locked;
                    if ((outcome.interrupted = PyErr_CheckSignals() != 0) || read) break;
                }
            } else {
                py::gil_scoped_acquire locked;
                outcome.interrupted = PyErr_CheckSignals() != 0;
            }
            if (outcome.interrupted) {
                cancel = true;
                // The library's own SIGINT handler stops the connector too. Let it end by itself,
                // so that Stop() sends no stop signal of its own that could outlive it and end
                // the next decode at once.
                const auto deadline = std::chrono::steady_clock::now() + kOwnStopWait;
                while (connector.Running() && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            // A connector that ended before it was asked to was stopped by a signal.
            const bool stoppedAlone = !connector.Running();
            connector.Stop();
            const bool fed = started != Started::Software || feed.Finish();
            if (outcome.interrupted) {
                // The interrupt's exception is raised once the connector's card and files are gone.
            } else if (started == Started::Hardware)
                outcome.error = "the library started in hardware mode although told to decode in software "
                                "(work_mode = software)";
            else if (started == Started::Failed)
                outcome.error = "the connector did not start; its reasons:" + LibraryErrors(output.File());
            else if (stoppedAlone)
                outcome.error = "the connector stopped before the capture was read (SIGINT or SIGTERM)";
            else if (!fed)
                outcome.error = reader.Error() + ": the capture is damaged; stopped there";
            else if (tally.truncated && !allowTruncated)
                outcome.error = std::to_string(tally.truncated) +
                                " frames were cut by the capture's snaplen and skipped (allow_truncated=True "
                                "accepts that)";
            outcome.partial = started == Started::Software && !outcome.error.empty();
        }
        set_parse_data(nullptr);
        set_parse_data_version_2(nullptr);
        g_table = nullptr;
    }
    if (outcome.interrupted) {
        // The connector is stopped and its card and files are gone: now the KeyboardInterrupt.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
    if (table.OutOfMemory()) throw std::bad_alloc();
    if (outcome.partial) FailWithRows(outcome.error, RowsAsArray(table));
    if (!outcome.error.empty()) Fail(outcome.error);
    return RowsAsArray(table);
}

} // namespace
} // namespace vorn_python

PYBIND11_MODULE(_core, m) {
    m.doc() = "The vorn_r10 library's decoder and counters, for vorn_r10's Python API.";
    static py::exception<std::runtime_error> error(m, "Error", PyExc_RuntimeError);
    vorn_python::g_error = error.ptr();
    m.def("decode", &vorn_python::Decode, py::arg("capture"), py::arg("snapshot"), py::kw_only(),
          py::arg("insts") = "all", py::arg("options") = "recv", py::arg("version") = 2,
          py::arg("allow_truncated") = false);
    m.def("counters", &vorn_python::Counters, py::arg("dir") = "/dev/shm");
}
