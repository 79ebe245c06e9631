// The version every tool prints for --version: the project's one version number.
#pragma once

#include <cstdio>

#ifndef VORN_VERSION
#error "VORN_VERSION comes from the build (the project version)"
#endif

namespace vorn_tools {

// Prints "<tool> <version>" to standard output.
inline void PrintVersion(const char* tool) { printf("%s %s\n", tool, VORN_VERSION); }

} // namespace vorn_tools
