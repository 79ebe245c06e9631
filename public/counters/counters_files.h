// Where counters files live, what they are called and whose they are.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Vorn_R10 {

// True when `name` can be a counters name: 1 to kCountersNameMax characters of letters, digits,
// '_', '-' and '.', not starting with '.'.
bool IsValidCountersName(const std::string& name);
// The program's name as a counters name: the process's short name with every character a
// counters name cannot hold replaced by '_', cut to kCountersNameMax; "vorn_r10" when empty.
std::string ProgramCountersName();

// Mode of the files a writer makes (less its umask): the owner writes, its group reads, so a
// monitoring user reads through the folder's group or a default ACL.
constexpr mode_t kCountersFileMode = 0640;

// vorn_r10.<name>.<device>.counters, or with `pid` non-zero vorn_r10.<name>.<device>.<pid>.counters.
// Characters of the device that a file name should not hold ('/', blanks, control
// characters...) become '_'.
std::string CountersFileName(const std::string& name, const std::string& device, pid_t pid = 0);
// That name in `folder`.
std::string CountersFilePath(const std::string& folder, const std::string& name, const std::string& device,
                             pid_t pid = 0);

// Paths of the counters files in `folder`, sorted; empty when there are none or the folder
// cannot be read.
std::vector<std::string> FindCountersFiles(const std::string& folder);
// Paths of the temporary files starts leave in `folder` between making a counters file and
// renaming it onto its name (vorn_r10.*.counters.*.tmp), sorted.
std::vector<std::string> FindCountersTemporaries(const std::string& folder);
// A temporary file's name beside `path`, unique to this process and call.
std::string CountersTemporaryPath(const std::string& path);

// Start time of a process in clock ticks since boot (field 22 of /proc/PID/stat); 0 when the
// process does not exist.
uint64_t ProcessStartTime(int64_t pid);

// --- the writer's lock ---
// A writer holds an open-file-description write lock on its whole file for its whole life, so
// the lock, not a process id, tells whether a file is in use: it is seen from other PID
// namespaces and containers, and it goes when the process does, however it ends.

// Takes the lock on `fd` (opened for writing), retrying for up to about 200 ms while someone
// else holds it briefly (a start taking the file over, a removal checking it). False, with
// errno EAGAIN when it stays held, or another errno when locks cannot be taken.
bool LockCountersFile(int fd);
// True when a lock is held on the file `fd` is open on (any access mode), by anyone but this
// open file description.
bool CountersFileLocked(int fd);
// True when `path` names the file `fd` is open on.
bool NamesFile(const std::string& path, int fd);

enum class ERemoval { removed, in_use, replaced, failed };
// Removes the counters or temporary file at `path` when no writer holds it: takes the lock
// (without waiting), and unlinks only while holding it and only while `path` still names the
// file locked. in_use when it is held, replaced when the name went or now names another file,
// failed with `error` when it cannot be opened, locked or unlinked.
ERemoval RemoveUnlockedFile(const std::string& path, std::string& error);

} // namespace Vorn_R10
