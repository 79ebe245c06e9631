#include "refill.h"

#include <mutex>
#include <string>
#include <vector>

namespace vorn_sim {
namespace {

struct Registration {
    std::string device;
    int port;
    Refill refill;
};

std::mutex registrations_mutex;
// Registrations are few (one per feeding tool) and read only when a buffer is acquired.
std::vector<Registration>& registrations() {
    static std::vector<Registration>* list = new std::vector<Registration>; // never destroyed: safe at exit
    return *list;
}

} // namespace

void set_refill(const char* device, int port, Refill refill) {
    std::lock_guard<std::mutex> guard(registrations_mutex);
    std::vector<Registration>& list = registrations();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->device != device || it->port != port) continue;
        list.erase(it);
        break;
    }
    if (refill.fn != nullptr) list.push_back({device, port, refill});
}

Refill find_refill(const char* device, int port) {
    std::lock_guard<std::mutex> guard(registrations_mutex);
    for (const Registration& registration : registrations())
        if (registration.device == device && registration.port == port) return registration.refill;
    return {};
}

} // namespace vorn_sim
