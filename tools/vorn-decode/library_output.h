// The library's standard output as a decode run captured it: its error lines for the user.
#pragma once

#include <string>
#include <vector>

namespace vorn_decode {

// The error lines (" [E] ") of the library output file at `path`, colour codes removed; empty
// when it cannot be read.
std::vector<std::string> LibraryErrorLines(const std::string& path);

} // namespace vorn_decode
