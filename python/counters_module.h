// counters(): every connector's counters in a folder, as Python dictionaries.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace vorn_python {

// One dictionary per counters file in `dir` (sorted by path): the writer, its state (named as
// vorn-stat names it), its start-up state, every counter, the latency histograms' figures and the instruments. A file
// that cannot be read gives {"path": ..., "error": ...}.
pybind11::list Counters(const std::string& dir);

} // namespace vorn_python
