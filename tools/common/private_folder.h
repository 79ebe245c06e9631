// A folder of a tool's own for its temporary files, in $TMPDIR (or /tmp).
#pragma once

#include <cstdlib>
#include <string>

namespace vorn_tools {

// Makes <$TMPDIR or /tmp>/<stem>XXXXXX; its path, or empty with errno set.
inline std::string MakePrivateFolder(const char* stem) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + stem + "XXXXXX";
    return mkdtemp(&pattern[0]) ? pattern : std::string();
}

} // namespace vorn_tools
