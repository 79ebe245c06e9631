#include "counters_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "counters_layout.h"

namespace Vorn_R10 {

namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

constexpr const char* kTemporarySuffix = ".tmp";
// Attempts 1 ms apart before a lock counts as held by a live writer.
constexpr int kLockAttempts = 200;

std::string Sanitized(std::string text) {
    for (char& c : text)
        if (!IsNameChar(c)) c = '_';
    return text;
}

} // namespace

bool IsValidCountersName(const std::string& name) {
    return !name.empty() && name.size() <= kCountersNameMax && name[0] != '.' &&
           std::all_of(name.begin(), name.end(), IsNameChar);
}

std::string ProgramCountersName() {
    std::string name = Sanitized(program_invocation_short_name).substr(0, kCountersNameMax);
    if (!name.empty() && name[0] == '.') name[0] = '_';
    return name.empty() ? "vorn_r10" : name;
}

std::string CountersFileName(const std::string& name, const std::string& device, pid_t pid) {
    std::string file = kCountersFilePrefix + name + "." + Sanitized(device);
    if (pid) file += "." + std::to_string(pid);
    return file + kCountersFileSuffix;
}

std::string CountersFilePath(const std::string& folder, const std::string& name, const std::string& device, pid_t pid) {
    std::string path = folder.empty() ? "." : folder;
    if (path.back() != '/') path += '/';
    return path + CountersFileName(name, device, pid);
}

namespace {

// Paths in `folder` of the names that start with the counters prefix and end with `suffix`, sorted.
std::vector<std::string> FindNamesEndingWith(const std::string& folder, const std::string& suffix) {
    std::vector<std::string> paths;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return paths;
    const std::string prefix = kCountersFilePrefix;
    std::string base = folder;
    if (base.empty() || base.back() != '/') base += '/';
    while (const struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) == 0 && EndsWith(name, suffix)) paths.push_back(base + name);
    }
    closedir(dir);
    std::sort(paths.begin(), paths.end());
    return paths;
}

struct flock WholeFile(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

// Both locks at once, without waiting. The open-file-description lock is what readers test;
// the flock keeps out writers and removals of earlier releases, which used flock alone.
bool TryLock(int fd) {
    struct flock lock = WholeFile(F_WRLCK);
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    const int why = errno;
    lock.l_type = F_UNLCK;
    fcntl(fd, F_OFD_SETLK, &lock);
    errno = why;
    return false;
}

} // namespace

std::vector<std::string> FindCountersFiles(const std::string& folder) {
    return FindNamesEndingWith(folder, kCountersFileSuffix);
}

std::vector<std::string> FindCountersTemporaries(const std::string& folder) {
    std::vector<std::string> paths = FindNamesEndingWith(folder, kTemporarySuffix);
    const std::string infix = std::string(kCountersFileSuffix) + ".";
    paths.erase(std::remove_if(paths.begin(), paths.end(),
                               [&](const std::string& path) { return path.find(infix) == std::string::npos; }),
                paths.end());
    return paths;
}

std::string CountersTemporaryPath(const std::string& path) {
    static std::atomic<uint32_t> calls{0};
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char unique[64];
    snprintf(unique, sizeof unique, ".%d.%lx%x", static_cast<int>(getpid()), static_cast<unsigned long>(now.tv_nsec),
             calls.fetch_add(1, std::memory_order_relaxed));
    return path + unique + kTemporarySuffix;
}

bool LockCountersFile(int fd) {
    for (int attempt = 1;; ++attempt) {
        if (TryLock(fd)) return true;
        const bool held = errno == EAGAIN || errno == EACCES || errno == EWOULDBLOCK;
        if (!held) return false;
        if (attempt == kLockAttempts) {
            errno = EAGAIN;
            return false;
        }
        usleep(1000);
    }
}

bool CountersFileLocked(int fd) {
    struct flock lock = WholeFile(F_WRLCK);
    return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

bool NamesFile(const std::string& path, int fd) {
    struct stat named, open;
    return stat(path.c_str(), &named) == 0 && fstat(fd, &open) == 0 && named.st_ino == open.st_ino &&
           named.st_dev == open.st_dev;
}

ERemoval RemoveUnlockedFile(const std::string& path, std::string& error) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT) return ERemoval::replaced;
        error = path + ": " + strerror(errno);
        return ERemoval::failed;
    }
    ERemoval result = ERemoval::in_use;
    if (TryLock(fd)) {
        // The lock is held to the unlink: a start waits for it, then finds the name gone.
        if (!NamesFile(path, fd)) {
            result = ERemoval::replaced;
        } else if (unlink(path.c_str()) == 0) {
            result = ERemoval::removed;
        } else {
            error = path + ": " + strerror(errno);
            result = ERemoval::failed;
        }
    } else if (errno != EAGAIN && errno != EACCES && errno != EWOULDBLOCK) {
        error = path + ": " + strerror(errno);
        result = ERemoval::failed;
    }
    close(fd);
    return result;
}

uint64_t ProcessStartTime(int64_t pid) {
    if (pid <= 0) return 0;
    char path[64];
    snprintf(path, sizeof path, "/proc/%lld/stat", static_cast<long long>(pid));
    FILE* file = fopen(path, "re");
    if (!file) return 0;
    char text[1024];
    const size_t n = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[n] = '\0';
    // The command name in parentheses may hold blanks: fields are counted after its last ')'.
    const char* at = strrchr(text, ')');
    if (!at) return 0;
    // Each step lands on the blank before field `field`; fields 3.. follow the ')'.
    for (int field = 3; field <= 22; ++field) {
        at = strchr(at + 1, ' ');
        if (!at) return 0;
    }
    return strtoull(at + 1, nullptr, 10);
}

} // namespace Vorn_R10
