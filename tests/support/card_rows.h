// Updates as the tools' CSV rows, for differential tests of the tools and transports against
// frames put straight onto a simulated card.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vorn_test {

// The CSV (header and a row per callback) of everything the callbacks received so far.
std::string DeliveriesCsv();
// The CSV of a connector configured with `config` fed `frames` on a card, from a forked run
// (one connector per process); `dir` takes the rows on their way back. A failed run is a test
// failure and an empty text.
std::string CardCsv(const std::vector<std::vector<uint8_t>>& frames, const std::map<std::string, std::string>& config,
                    const std::string& dir);

} // namespace vorn_test
