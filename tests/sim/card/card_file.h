// Where a simulated card's bytes live: a POSIX shared-memory object, or a file in the folder
// that VORN_SIM_SHM_DIR names (as under ctest, which keeps a run's cards in its scratch folder).
#pragma once

#include <cstdlib>
#include <string>

inline std::string SimCardFile(const std::string& device) {
    const char* dir = std::getenv("VORN_SIM_SHM_DIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/dev/shm") + "/vorn_exanic_" + device;
}
