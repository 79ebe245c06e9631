#include "golden_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "test_files.h"

namespace vorn_test {

void ExpectGolden(const std::string& text, const std::string& path) {
    if (getenv("VORN_UPDATE_GOLDEN")) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        return;
    }
    EXPECT_EQ(ReadFile(path), text) << "golden file " << path << " (VORN_UPDATE_GOLDEN=1 rewrites it)";
}

} // namespace vorn_test
