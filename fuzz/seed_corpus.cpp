// Writes seed inputs of the binary fuzz targets from the simulated exchange's writer and encoder:
// vorn_fuzz_seeds <dir> creates <dir>/<target>/ and fills it (the configuration seeds are text
// files in fuzz/corpus/config/).
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "fuzz_support.h"
#include "sample_code.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Add(const std::string& root, const char* target, const Bytes& bytes) {
    static int count = 0;
    const std::string dir = root + "/" + target;
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/seed_" + std::to_string(count++), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Prefixed(std::initializer_list<uint8_t> prefix, const Bytes& rest) {
    Bytes out(prefix);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

// One packet with a field of every kind, in the field target's descriptor order.
Bytes EveryField(const encrypt_code_segment_field* cipher) {
    vorn_sim::PacketBuilder packet(2000);
    if (cipher) packet.Encrypted(true, cipher->arg1);
    return packet.Static(1, 2, 3, 4, 5, 6, 1.5, 0.25).LastMatch(10, 3, 1e6, 7).Best(10, 1, 11, 2).Bid23(9, 1, 8, 1)
        .Ask23(12, 1, 13, 1).Bid45(7, 1, 6, 1).Ask45(14, 1, 15, 1).UpdateTime(1, 34200, 500).RealPriceBanding(100, 1)
        .Bytes();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) return fprintf(stderr, "usage: %s <dir>\n", argv[0]), 2;
    const std::string root = argv[1];
    mkdir(root.c_str(), 0755);
    vorn_sim::SessionConfig config = vorn_fuzz::FuzzSessionConfig();
    vorn_sim::SyntheticSession session(config);
    const Bytes snapshot = session.Snapshot().Bytes();
    Add(root, "snapshot", snapshot);
    Add(root, "snapshot", Bytes(snapshot.begin(), snapshot.begin() + static_cast<long>(snapshot.size() / 2)));
    config.code_segment = 1; // a known segment and no instruments
    config.instruments.clear();
    Add(root, "snapshot", vorn_sim::SyntheticSession(config).Snapshot().Bytes());

    std::vector<Bytes> packets;
    for (int i = 0; i < 4; ++i) packets.push_back(session.NextPacket());
    const encrypt_code_segment_field cipher = vorn_sim::SampleCipherSegment();
    for (const Bytes& packet : {packets[0], vorn_sim::JoinPackets({packets[1], packets[2], packets[3]}),
                                EveryField(nullptr), EveryField(&cipher)})
        Add(root, "chunk", packet);
    for (uint8_t mode : {0, 1}) Add(root, "frame", Prefixed({mode}, session.Frame(packets[0])));
    // Each field's data as the encoder wrote it, plain and encrypted: [kind][encrypted][data].
    for (uint8_t encrypted : {0, 1}) {
        const Bytes packet = EveryField(encrypted ? &cipher : nullptr);
        size_t at = sizeof(df_udp_header);
        for (uint8_t kind = 0; at + 4 <= packet.size(); ++kind) {
            const size_t length = static_cast<size_t>(packet[at + 2]) << 8 | packet[at + 3];
            Add(root, "field", Prefixed({kind, encrypted}, Bytes(packet.begin() + static_cast<long>(at + 4),
                                                                 packet.begin() + static_cast<long>(at + 4 + length))));
            at += 4 + length;
        }
    }
    return 0;
}
