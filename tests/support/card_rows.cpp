#include "card_rows.h"

#include <gtest/gtest.h>

#include <fstream>

#include "child_process.h"
#include "connector_harness.h"
#include "update_rows.h"

namespace vorn_test {

std::string DeliveriesCsv() {
    std::string text = vorn_tools::CsvHeader();
    for (const Delivery& d : Deliveries())
        vorn_tools::AppendRow(vorn_tools::RowFormat::Csv, d.version,
                              d.version == 1 ? static_cast<const void*>(&d.v1) : static_cast<const void*>(&d.v2), text);
    return text;
}

std::string CardCsv(const std::vector<std::vector<uint8_t>>& frames, const std::map<std::string, std::string>& config,
                    const std::string& dir) {
    const std::string path = dir + "/card.csv";
    const int code = RunForked(
        [&] {
            ConnectorRun run(config);
            if (run.Start() != 0) return 1;
            for (const auto& frame : frames) run.Put(0, frame);
            if (!run.Drain() || run.Stop() != 0) return 2;
            std::ofstream(path) << DeliveriesCsv();
            return 0;
        },
        std::chrono::seconds(60));
    EXPECT_EQ(0, code) << "the card run failed";
    return code == 0 ? ReadFile(path) : "";
}

} // namespace vorn_test
