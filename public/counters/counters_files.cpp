#include "counters_files.h"

#include <dirent.h>
#include <errno.h>

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

bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

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
