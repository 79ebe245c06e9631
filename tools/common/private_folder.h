// A folder of a tool's own for its temporary files, in $TMPDIR (or /tmp).
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace vorn_tools {

// Makes <$TMPDIR or /tmp>/<stem>XXXXXX; its path, or empty with errno set.
inline std::string MakePrivateFolder(const char* stem) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + stem + "XXXXXX";
    return mkdtemp(&pattern[0]) ? pattern : std::string();
}

// Removes a flat folder made by MakePrivateFolder: its files, then it. False when it stays.
inline bool RemovePrivateFolder(const std::string& dir) {
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d))
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                unlink((dir + "/" + entry->d_name).c_str());
        closedir(d);
    }
    return rmdir(dir.c_str()) == 0;
}

} // namespace vorn_tools
