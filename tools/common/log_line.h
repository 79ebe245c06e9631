// The message of one line of the library's log, for tools that show the library's reasons.
#pragma once

#include <string>

namespace vorn_tools {

// "<colour> [E] [date][time][thread] [file:line] [function], message<reset> " -> "message ";
// a line of another form comes back as it is (without the colour reset).
std::string LogLineMessage(std::string line);

} // namespace vorn_tools
