// Formatted output held against a golden file kept beside the test's sources.
#pragma once

#include <string>

namespace vorn_test {

// Expects `text` to equal the golden file at `path`. With VORN_UPDATE_GOLDEN set in the
// environment it writes `text` to the file instead (review the change before committing it).
void ExpectGolden(const std::string& text, const std::string& path);

} // namespace vorn_test
