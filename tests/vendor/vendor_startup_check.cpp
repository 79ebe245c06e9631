// Start-up against the vendor's libexanic on a machine without a card: init_connector must
// stop at the card, log the vendor library's own error text and return -1.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <exanic/exanic.h>

#include "VornCffexMd_interface.h"
#include "synthetic_session.h"
#include "test_files.h"

int main() {
    const vorn_test::TempDir temp; // the configuration, log and counters files; removed at exit
    const std::string dir = temp.Path(), config = dir + "/md.ini";
    if (dir.empty() || !vorn_test::WriteTodaySnapshot(vorn_sim::SyntheticSession().Snapshot()))
        return fprintf(stderr, "cannot prepare the run\n"), 1;
    std::ofstream(config) << "[config]\ndevice = exanic0\nlog_path = " << dir << "\ncounters_path = " << dir << "\n";
    // The text the vendor library gives for the same device, found independently of the connector.
    exanic_t* card = exanic_acquire_handle("exanic0");
    const std::string expected = std::string("get [exanic0] handle failed, ") + exanic_get_last_error();
    const int result = card ? 0 : init_connector(config.c_str());
    unlink(vorn_sim::SnapshotWriter::TodayPath().c_str()); // read at start-up only; the lock is still held
    if (card) {
        exanic_release_handle(card);
        printf("skipped: this machine has an exanic0\n");
        return 0;
    }
    const std::string log = vorn_test::ConnectorLogIn(dir);
    const bool ok = result == -1 && log.find(expected) != std::string::npos &&
                    expected.find("device open failed") != std::string::npos;
    printf("%s: init_connector returned %d, expected a log line with \"%s\"\n", ok ? "ok" : "FAILED", result,
           expected.c_str());
    if (!ok) fputs(log.c_str(), stdout);
    return ok ? 0 : 1;
}
