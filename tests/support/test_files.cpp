#include "test_files.h"

#include <dirent.h>
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "CommonLog.h"
#include "snapshot_writer.h"

namespace vorn_test {

TempDir::TempDir() {
    std::string pattern = TemporaryFolder() + "/vorn_test_XXXXXX";
    path_ = mkdtemp(&pattern[0]) ? pattern : "";
}

std::string TemporaryFolder() {
    const char* tmp = getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

std::string SimCardFolder() {
    const char* dir = getenv("VORN_SIM_SHM_DIR");
    return dir && *dir ? dir : "/dev/shm";
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    nftw(
        path_.c_str(), [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> FilesIn(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d))
            if (entry->d_name[0] != '.' && strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
                names.push_back(entry->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, size_t length) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(std::min(length, bytes.size())));
}

std::string ConnectorLogIn(const std::string& dir) {
    std::string text;
    for (const std::string& name : FilesIn(dir, "Vorn_R10_")) text += ReadFile(dir + "/" + name);
    return text;
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(needle) != std::string::npos) lines.push_back(line);
    return lines;
}

size_t CountOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

std::vector<std::string> Messages(const std::string& text, const std::string& function) {
    std::vector<std::string> messages;
    const std::string marker = "[" + function + "]";
    for (const std::string& line : LinesWith(text, marker)) {
        const std::string message = line.substr(line.find(marker) + marker.size());
        messages.push_back(message.substr(0, message.find("\033[0m")));
    }
    return messages;
}

void LogToPrivateDir() {
    static TempDir dir; // the log path takes effect once per process
    std::string path = dir.Path();
    Vorn_R10::CCommonLog::GetInstance().SetLogPath(path);
}

std::string ProcessLog(size_t mark) {
    const std::string text = ReadFile(Vorn_R10::CCommonLog::GetInstance().GetLogFileName());
    return mark < text.size() ? text.substr(mark) : std::string();
}

bool WriteTodaySnapshot(const vorn_sim::SnapshotWriter& writer) {
    static const int lockFd = vorn_sim::SnapshotWriter::LockSharedPath(); // held until the process exits
    return lockFd >= 0 && writer.WriteFile(vorn_sim::SnapshotWriter::TodayPath());
}

} // namespace vorn_test
