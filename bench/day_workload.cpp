#include "day_workload.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "feed_encoder.h"

namespace vorn_bench {
namespace {

constexpr int32_t kFirstKey = 1001;
constexpr int kFutures = 28;
constexpr int kOptions = 1380;

// splitmix64: the same draws on every platform.
struct Random {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
};

template <typename T>
void Shuffle(std::vector<T>& items, Random& random) {
    for (size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[random.Next() % i]);
}

// Index futures of four months, bond futures of three.
void AddFutures(std::vector<vorn_sim::SimInstrument>& all) {
    const struct {
        const char* product;
        double price, tick;
        int32_t multiple;
    } products[] = {{"IF", 4000, 0.2, 300},    {"IH", 2700, 0.2, 300},   {"IC", 5800, 0.2, 200},
                    {"IM", 6200, 0.2, 200},    {"T", 108, 0.005, 10000}, {"TF", 105, 0.005, 10000},
                    {"TS", 102, 0.002, 20000}, {"TL", 118, 0.01, 10000}};
    const char* index[] = {"2612", "2701", "2703", "2706"};
    const char* bond[] = {"2703", "2706", "2709"};
    for (const auto& p : products) {
        const bool isIndex = p.product[0] == 'I';
        for (int m = 0; m < (isIndex ? 4 : 3); ++m)
            all.push_back(vorn_sim::MakeInstrument(std::string(p.product) + (isIndex ? index[m] : bond[m]), p.product,
                                                   p.price * 0.9, p.tick, p.multiple, p.price, false));
    }
}

// Index options over six months, calls and puts of strikes around the index, to kOptions.
void AddOptions(std::vector<vorn_sim::SimInstrument>& all) {
    const struct {
        const char* product;
        int index, step;
    } products[] = {{"IO", 4000, 50}, {"MO", 6200, 100}, {"HO", 2700, 25}};
    const char* months[] = {"2612", "2701", "2702", "2703", "2706", "2709"};
    int made = 0;
    for (int strike = 0; made < kOptions; ++strike)
        for (const auto& p : products)
            for (const char* month : months)
                for (const char* side : {"-C-", "-P-"}) {
                    if (made == kOptions) break;
                    const int price = p.index - 20 * p.step + strike * p.step;
                    all.push_back(
                        vorn_sim::MakeInstrument(std::string(p.product) + month + side + std::to_string(price),
                                                 p.product, 0.0, 0.2, 100, 20.0 + (made % 97) * 3.0, true));
                    ++made;
                }
}

} // namespace

vorn_sim::SessionConfig WorkloadConfig(Workload workload) {
    vorn_sim::SessionConfig config;
    std::vector<vorn_sim::SimInstrument> all;
    AddFutures(all);
    if (workload == Workload::Day) AddOptions(all);
    Random random{20261216};
    std::vector<int32_t> keys(all.size());
    for (size_t i = 0; i < keys.size(); ++i) keys[i] = kFirstKey + static_cast<int32_t>(i);
    Shuffle(keys, random);
    for (size_t i = 0; i < all.size(); ++i) all[i].key = keys[i];
    config.instruments = all;
    return config;
}

std::vector<std::vector<uint8_t>> WorkloadFrames(const vorn_sim::SyntheticSession& session, Workload workload,
                                                 size_t count, bool encrypted) {
    const std::vector<vorn_sim::SimInstrument>& instruments = session.Instruments();
    Random random{7};
    // Activity ranks in shuffled order; the Zipf law's cumulative weights by rank.
    std::vector<size_t> byRank(instruments.size());
    for (size_t i = 0; i < byRank.size(); ++i) byRank[i] = i;
    Shuffle(byRank, random);
    std::vector<double> cumulative(instruments.size());
    double total = 0;
    for (size_t r = 0; r < cumulative.size(); ++r) cumulative[r] = total += 1.0 / static_cast<double>(r + 1);

    const encrypt_code_segment_field code = session.CodeSegment();
    std::vector<std::vector<uint8_t>> frames;
    frames.reserve(count);
    for (size_t n = 0; n < count; ++n) {
        size_t at = n % instruments.size();
        if (workload == Workload::Day) {
            const double u = random.Unit() * total;
            at = byRank[static_cast<size_t>(std::upper_bound(cumulative.begin(), cumulative.end(), u) -
                                            cumulative.begin()) %
                        instruments.size()];
        }
        const vorn_sim::SimInstrument& instrument = instruments[at];
        const ins_price_encode_info_field encoding = vorn_sim::PriceEncodingOf(instrument);
        const int64_t bid = vorn_sim::PriceToTicks(session.Initial(instrument.key).bid1_price, encoding) +
                            static_cast<int64_t>(random.Next() % 5) - 2;
        const int64_t ms = (10 * 3600 + 15 * 60) * 1000LL + static_cast<int64_t>(n) * 3;
        vorn_sim::PacketBuilder packet(session.Config().first_seqno + static_cast<uint32_t>(n));
        packet.UpdateTime(instrument.key, ms / 1000, ms % 1000);
        packet.Best(bid, 1 + static_cast<int64_t>(n % 40), bid + 1, 1 + static_cast<int64_t>(n % 23));
        packet.LastMatch(bid, 1000 + static_cast<int64_t>(n), 3.1415926e9 + static_cast<double>(n), 182334);
        packet.Bid23(bid - 1, 30, bid - 2, 41);
        if (encrypted) packet.Encrypted(true, code.arg1);
        frames.push_back(session.Frame(packet.Bytes()));
    }
    return frames;
}

} // namespace vorn_bench
