// Writes seed inputs of the binary fuzz targets from the simulated exchange's writer and encoder:
// vorn_fuzz_seeds <dir> creates <dir>/<target>/ and fills it (the configuration seeds are text
// files in fuzz/corpus/config/).
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "feed_encoder.h"
#include "fuzz_support.h"
#include "sample_code.h"
#include "snapshot_writer.h"
#include "synthetic_session.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct SeedDir {
    std::string dir;
    int count = 0;

    SeedDir(const std::string& root, const char* target) : dir(root + "/" + target) {
        mkdir(dir.c_str(), 0755);
    }
    void Add(const Bytes& bytes) {
        std::ofstream(dir + "/seed_" + std::to_string(count++), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
};

Bytes Prefixed(uint8_t first, const Bytes& rest) {
    Bytes out{first};
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

void SnapshotSeeds(const std::string& root) {
    SeedDir seeds(root, "snapshot");
    vorn_sim::SessionConfig config = vorn_fuzz::FuzzSessionConfig();
    config.instruments.resize(2);
    vorn_sim::SyntheticSession session(config);
    const Bytes full = session.Snapshot().Bytes();
    seeds.Add(full);
    seeds.Add(Bytes(full.begin(), full.begin() + full.size() / 2));
    vorn_sim::SnapshotWriter empty;
    empty.AddChannel("udp://239.3.42.1:30001/10.0.0.5");
    empty.AddChannel("udp://239.3.42.2:30002/10.0.0.6");
    empty.SetCodeSegment(vorn_sim::KnownSegmentRecord(1));
    seeds.Add(empty.Bytes());
}

void PacketSeeds(const std::string& root) {
    SeedDir chunks(root, "chunk");
    SeedDir frames(root, "frame");
    vorn_sim::SyntheticSession session(vorn_fuzz::FuzzSessionConfig());
    std::vector<Bytes> packets;
    for (int i = 0; i < 6; ++i) packets.push_back(session.NextPacket());
    chunks.Add(packets[0]);
    chunks.Add(vorn_sim::JoinPackets({packets[1], packets[2], packets[3]}));
    frames.Add(Prefixed(0, session.Frame(packets[0])));
    frames.Add(Prefixed(1, session.Frame(packets[0])));
    // Plain packets too, and one of every field kind.
    vorn_sim::PacketBuilder plain(2000);
    plain.UpdateTime(1, 34200, 500).Static(1, 2, 3, 4, 5, 6, 1.5, 0.25).LastMatch(10, 3, 1e6, 7)
        .Best(10, 1, 11, 2).Bid23(9, 1, 8, 1).Ask23(12, 1, 13, 1).Bid45(7, 1, 6, 1).Ask45(14, 1, 15, 1)
        .RealPriceBanding(100, 1);
    chunks.Add(plain.Bytes());
}

void FieldSeeds(const std::string& root) {
    SeedDir seeds(root, "field");
    const encrypt_code_segment_field segment = vorn_sim::SampleCipherSegment();
    for (uint8_t kind = 0; kind < 9; ++kind) {
        Bytes data;
        for (int64_t value : {int64_t(5), int64_t(-3), int64_t(4294967295LL), int64_t(1) << 40})
            vorn_sim::AppendVarint(data, value);
        vorn_sim::AppendBeDouble(data, 1.0);
        seeds.Add(Prefixed(kind, Prefixed(0, data)));
        Bytes encrypted = data;
        vorn_sim::EncryptFieldData(encrypted.data(), encrypted.size(), segment.arg1);
        seeds.Add(Prefixed(kind, Prefixed(1, encrypted)));
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <dir>\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    mkdir(root.c_str(), 0755);
    SnapshotSeeds(root);
    PacketSeeds(root);
    FieldSeeds(root);
    return 0;
}
