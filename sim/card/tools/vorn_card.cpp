// vorn-card: create, remove and inspect simulated ExaNIC devices from the shell.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tool_version.h"
#include "vorn_sim_card.h"

namespace {

constexpr int kUsageExit = 2;

int usage(FILE* out = stderr) {
    std::fprintf(out,
                 "usage: vorn-card COMMAND DEV [ARGS] | vorn-card --version\n"
                 "  create DEV               create (or reset) the simulated ExaNIC device DEV\n"
                 "  remove DEV               remove the device\n"
                 "  regs DEV [FROM [COUNT]]  show the non-zero registers, or COUNT registers\n"
                 "                           (default 1) starting at FROM\n"
                 "  set DEV REG VALUE        write VALUE to register REG\n"
                 "  counters DEV             frames put/taken/lost/skipped, backlog and readers\n"
                 "                           the card cannot see (the vendor's) per port\n"
                 "Numbers are decimal or 0x hex; registers are 0-%u.\n",
                 VORN_SIM_REGISTER_WORDS - 1);
    return kUsageExit;
}

// Parses a decimal or 0x-prefixed hex number no larger than `max`.
bool parse_number(const char* text, uint64_t max, uint64_t* out) {
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (text[0] == '\0' || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, base);
    if (errno != 0 || *end != '\0' || value > max) return false;
    *out = value;
    return true;
}

bool parse_arg(const char* text, uint64_t max, const char* what, uint64_t* out) {
    if (parse_number(text, max, out)) return true;
    std::fprintf(stderr, "vorn-card: bad %s '%s' (decimal or 0x hex, at most %" PRIu64 ")\n", what, text, max);
    return false;
}

vorn_sim_card_t* open_card(const char* device) {
    vorn_sim_card_t* card = vorn_sim_open(device);
    if (card == nullptr) std::fprintf(stderr, "vorn-card: %s\n", vorn_sim_last_error());
    return card;
}

void print_register(uint32_t reg, uint32_t value) { std::printf("%4u  0x%08x  %u\n", reg, value, value); }

int show_registers(vorn_sim_card_t* card, uint32_t from, uint32_t count, bool nonzero_only) {
    for (uint32_t reg = from; reg < from + count; ++reg) {
        uint32_t value = vorn_sim_read_reg(card, reg);
        if (!nonzero_only || value != 0) print_register(reg, value);
    }
    return 0;
}

int command_regs(vorn_sim_card_t* card, int argc, char** argv) {
    if (argc == 3) return show_registers(card, 0, VORN_SIM_REGISTER_WORDS, true);
    uint64_t from = 0, count = 1;
    if (!parse_arg(argv[3], VORN_SIM_REGISTER_WORDS - 1, "register", &from)) return kUsageExit;
    if (argc == 5 && !parse_arg(argv[4], VORN_SIM_REGISTER_WORDS - from, "register count", &count)) return kUsageExit;
    return show_registers(card, static_cast<uint32_t>(from), static_cast<uint32_t>(count), false);
}

int command_set(vorn_sim_card_t* card, char** argv) {
    uint64_t reg = 0, value = 0;
    if (!parse_arg(argv[3], VORN_SIM_REGISTER_WORDS - 1, "register", &reg) ||
        !parse_arg(argv[4], UINT32_MAX, "value", &value))
        return kUsageExit;
    vorn_sim_write_reg(card, static_cast<uint32_t>(reg), static_cast<uint32_t>(value));
    return 0;
}

int command_counters(vorn_sim_card_t* card) {
    std::printf("port  %12s  %12s  %12s  %12s  %12s  %6s\n", "put", "taken", "lost", "skipped", "backlog", "blind");
    for (int port = 0; port < VORN_SIM_PORTS; ++port) {
        vorn_sim_counters counters{};
        vorn_sim_get_counters(card, port, &counters);
        std::printf("%4d  %12" PRIu64 "  %12" PRIu64 "  %12" PRIu64 "  %12" PRIu64 "  %12" PRIu64 "  %6u\n", port,
                    counters.put, counters.taken, counters.lost, counters.skipped, vorn_sim_backlog(card, port),
                    counters.blind_readers);
    }
    return 0;
}

// Runs a command that works on an open device; argc is already checked.
int run_on_card(const std::string& command, int argc, char** argv) {
    vorn_sim_card_t* card = open_card(argv[2]);
    if (card == nullptr) return 1;
    int status = 0;
    if (command == "regs")
        status = command_regs(card, argc, argv);
    else if (command == "set")
        status = command_set(card, argv);
    else
        status = command_counters(card);
    vorn_sim_close(card);
    return status;
}

bool argument_count_fits(const std::string& command, int argc) {
    if (command == "create" || command == "remove" || command == "counters") return argc == 3;
    if (command == "regs") return argc >= 3 && argc <= 5;
    if (command == "set") return argc == 5;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        usage(stdout);
        return 0;
    }
    if (command == "--version") {
        vorn_tools::PrintVersion("vorn-card");
        return 0;
    }
    if (!argument_count_fits(command, argc)) {
        std::fprintf(stderr, "vorn-card: unknown command or wrong number of arguments: '%s'\n", command.c_str());
        return usage();
    }
    if (command == "create" || command == "remove") {
        int result = command == "create" ? vorn_sim_create(argv[2]) : vorn_sim_remove(argv[2]);
        if (result != 0) std::fprintf(stderr, "vorn-card: %s\n", vorn_sim_last_error());
        return result == 0 ? 0 : 1;
    }
    return run_on_card(command, argc, argv);
}
