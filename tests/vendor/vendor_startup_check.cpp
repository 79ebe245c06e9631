// Start-up against the vendor's libexanic on a machine without a card: init_connector must
// stop at the card, log the vendor library's own error text and return -1.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <exanic/exanic.h>

#include "VornCffexMd_interface.h"
#include "synthetic_session.h"

namespace {

// The connector reads today's snapshot from a machine-wide path: held under the test harness's lock.
bool WriteTodaySnapshotLocked() {
    if (vorn_sim::SnapshotWriter::LockSharedPath() < 0) return false;
    return vorn_sim::SyntheticSession(vorn_sim::SessionConfig{}).Snapshot().WriteFile(
        vorn_sim::SnapshotWriter::TodayPath());
}

// The text of the connector's log files in `dir`; with `remove`, every file and `dir` go too.
std::string LogOf(const std::string& dir, bool remove) {
    std::string text;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d)) {
            const std::string path = dir + "/" + entry->d_name;
            if (strncmp(entry->d_name, "Vorn_R10_", 9) == 0) {
                std::stringstream content;
                content << std::ifstream(path).rdbuf();
                text += content.str();
            }
            if (remove && entry->d_type == DT_REG) unlink(path.c_str());
        }
        closedir(d);
    }
    if (remove) rmdir(dir.c_str());
    return text;
}

} // namespace

int main() {
    char dirTemplate[] = "/tmp/vorn_vendor_XXXXXX";
    const std::string dir = mkdtemp(dirTemplate) ? dirTemplate : "";
    if (dir.empty() || !WriteTodaySnapshotLocked()) {
        fprintf(stderr, "cannot prepare the run\n");
        return 1;
    }
    const std::string config = dir + "/md.ini";
    std::ofstream(config) << "[config]\ndevice = exanic0\nlog_path = " << dir << "\ncounters_path = " << dir << "\n";

    // The text the vendor library gives for the same device, found independently of the connector.
    if (exanic_t* card = exanic_acquire_handle("exanic0")) {
        exanic_release_handle(card);
        printf("skipped: this machine has an exanic0\n");
        return 0;
    }
    const std::string expected = std::string("get [exanic0] handle failed, ") + exanic_get_last_error();
    const int result = init_connector(config.c_str());
    const std::string log = LogOf(dir, true);
    const bool ok = result == -1 && log.find(expected) != std::string::npos &&
                    expected.find("device open failed") != std::string::npos;
    printf("%s: init_connector returned %d, expected a log line with \"%s\"\n", ok ? "ok" : "FAILED", result,
           expected.c_str());
    if (!ok) fputs(log.c_str(), stdout);
    return ok ? 0 : 1;
}
