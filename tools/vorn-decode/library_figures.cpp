#include "library_figures.h"

namespace vorn_decode {

// The connector publishes no counters yet: the summary shows these figures as unavailable.
LibraryFigures ReadLibraryFigures(const std::string& /*countersDir*/, std::string& error) {
    error = "the library publishes no counters";
    return LibraryFigures{};
}

} // namespace vorn_decode
