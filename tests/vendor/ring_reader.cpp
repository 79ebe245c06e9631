// A reader of a card's receive ring through the libexanic functions it is built against (ours
// or the vendor's, the latter on a simulated card through libvorn_card_driver.so), driven by
// commands on standard input and printing what every call returned, for the differential
// test to compare. Commands (each answered by lines ending with "."):
//   acquire DEVICE PORT   acquire a handle and receive buffer 0 of PORT
//   recv COUNT SIZE       COUNT receive calls into a SIZE-byte buffer: per call the result,
//                         the stamp (or "-" when none was given), the stamp widened and in
//                         ns, and a hash of the whole buffer (filled with 0xA5 before)
//   release               release the buffer and the handle
#include <cinttypes>
#include <cstring>
#include <iostream>
#include <sstream>
#include <vector>

#include <exanic/exanic.h>
#include <exanic/fifo_rx.h>
#include <exanic/time.h>

static uint64_t Fnv1a(const char* bytes, size_t len) {
    uint64_t hash = 1469598103934665603ull;
    for (size_t i = 0; i < len; ++i) hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    return hash;
}

int main() {
    exanic_t* handle = nullptr;
    exanic_rx_t* rx = nullptr;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "acquire") {
            std::string device;
            int port = 0;
            in >> device >> port;
            handle = exanic_acquire_handle(device.c_str());
            rx = handle ? exanic_acquire_rx_buffer(handle, port, 0) : nullptr;
            std::printf("%s\n", rx ? "ok" : "failed");
        } else if (command == "recv" && rx != nullptr) {
            size_t count = 0, size = 0;
            in >> count >> size;
            std::vector<char> buf(size + 1);
            for (size_t i = 0; i < count; ++i) {
                memset(buf.data(), 0xA5, buf.size());
                exanic_cycles32_t stamp = 0x5a5a5a5a;
                const ssize_t got = exanic_receive_frame(rx, buf.data(), size, &stamp);
                if (stamp == 0x5a5a5a5a) {
                    std::printf("%zd - %016" PRIx64 "\n", got, Fnv1a(buf.data(), buf.size()));
                    continue;
                }
                const exanic_cycles_t wide = exanic_expand_timestamp(handle, stamp);
                std::printf("%zd %" PRIu32 " %" PRId64 " %" PRId64 " %016" PRIx64 "\n", got, stamp, wide,
                            exanic_cycles_to_ns(handle, wide), Fnv1a(buf.data(), buf.size()));
            }
        } else if (command == "release") {
            exanic_release_rx_buffer(rx);
            exanic_release_handle(handle);
            rx = nullptr, handle = nullptr;
        } else {
            std::printf("unknown command '%s'\n", line.c_str());
        }
        std::printf(".\n");
        std::fflush(stdout);
    }
    if (rx) exanic_release_rx_buffer(rx);
    if (handle) exanic_release_handle(handle);
    return 0;
}
