// Files, directories and log text for tests: one set shared by every test directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn_sim {
class SnapshotWriter;
}

namespace vorn_test {

// Where temporary files go: $TMPDIR, or /tmp when it is not set (ctest sets it to the run's
// own scratch folder).
std::string TemporaryFolder();
// Where the simulated cards' objects are: $VORN_SIM_SHM_DIR, or /dev/shm when it is not set.
std::string SimCardFolder();

// A directory in TemporaryFolder(), removed with its content when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Names of the entries of `dir` that start with `prefix` (dot entries excluded), sorted.
std::vector<std::string> FilesIn(const std::string& dir, const std::string& prefix = "");
// The text of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes the first `length` bytes (all by default) to `path`, replacing it.
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, size_t length = SIZE_MAX);
// The text of the connector's log files (Vorn_R10_*) in `dir`, in name order.
std::string ConnectorLogIn(const std::string& dir);
// Lines of `text` that contain `needle` (all lines for an empty needle).
std::vector<std::string> LinesWith(const std::string& text, const std::string& needle = "");
// Occurrences of `needle` in `text`.
size_t CountOf(const std::string& text, const std::string& needle);
// The messages (text after "[function]", colour reset cut) of `function`'s log lines, in order.
std::vector<std::string> Messages(const std::string& text, const std::string& function);
// Sends the process log (of a connector built in the test process) to a private directory
// for the rest of the process; returns the log file's text from `mark` bytes on.
void LogToPrivateDir();
std::string ProcessLog(size_t mark = 0);

// Writes today's snapshot file, which the connector reads from a fixed path. Every test
// process that does so first takes a lock held until it exits, so tests that run at the
// same time (other build trees included) never see each other's snapshot. False when the
// lock or the write failed.
bool WriteTodaySnapshot(const vorn_sim::SnapshotWriter& writer);

// The colour and tag that open an error line.
constexpr const char* kErrorTag = "\033[31;1m [E]";

} // namespace vorn_test
