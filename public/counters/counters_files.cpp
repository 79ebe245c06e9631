#include "counters_files.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "counters_layout.h"

namespace Vorn_R10 {

namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

std::string CountersFilePath(const std::string& folder, pid_t pid, const std::string& device) {
    std::string name = device;
    std::replace(name.begin(), name.end(), '/', '_');
    std::string path = folder.empty() ? "." : folder;
    if (path.back() != '/') path += '/';
    return path + kCountersFilePrefix + std::to_string(pid) + "." + name + kCountersFileSuffix;
}

std::vector<std::string> FindCountersFiles(const std::string& folder) {
    std::vector<std::string> paths;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return paths;
    const std::string prefix = kCountersFilePrefix;
    std::string base = folder;
    if (base.empty() || base.back() != '/') base += '/';
    while (const struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) == 0 && EndsWith(name, kCountersFileSuffix))
            paths.push_back(base + name);
    }
    closedir(dir);
    std::sort(paths.begin(), paths.end());
    return paths;
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

bool ProcessIsAlive(int64_t pid, uint64_t startTime) {
    const uint64_t now = ProcessStartTime(pid);
    return now != 0 && now == startTime;
}

} // namespace Vorn_R10
