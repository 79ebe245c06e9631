// Writes the captures the dissector's tests read, built with the feed encoder, with what each
// packet carries as the encoder was told it:
//   DIR/snapshot.bin  the session's snapshot (sample cipher: software mode, encrypted feed)
//   DIR/feed.pcap     encrypted session packets, then plain, cut, overrun, jumping and
//                     multi-packet payloads
//   DIR/records.pcap  firmware record frames (link type USER0)
//   DIR/other.pcap    port 5000: a look-alike with an unknown field id, noise, a feed packet
//   DIR/expect.txt    one line per fact:
//     packet FRAME SEQNO FIELDS        a packet and the fields whose headers it holds whole
//     member FRAME SEQNO NAME VALUE    a plain member's value (ticks, counts, doubles)
//     encrypted FRAME SEQNO FIELD_ID   a field whose data travels encrypted
//     expert FRAME NAME                an expert info the frame must carry
//     record FRAME NAME VALUE          a member of a firmware record frame
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "VornCffexMd_interface.h"
#include "feed_encoder.h"
#include "pcap_writer.h"
#include "synthetic_session.h"

using vorn_sim::PacketBuilder;

namespace {

struct Writer {
    FILE* expect;
    std::vector<std::vector<uint8_t>> frames;
    const vorn_sim::SyntheticSession* session;

    int Frame(const std::vector<uint8_t>& payload) {
        frames.push_back(session->Frame(payload));
        return static_cast<int>(frames.size());
    }
    void Packet(int frame, uint32_t seqno, size_t fields) {
        fprintf(expect, "packet %d %u %zu\n", frame, seqno, fields);
    }
    void Members(int frame, uint32_t seqno, std::initializer_list<std::pair<const char*, long long>> members) {
        for (const auto& [name, value] : members) fprintf(expect, "member %d %u %s %lld\n", frame, seqno, name, value);
    }
    void MemberDouble(int frame, uint32_t seqno, const char* name, double value) {
        fprintf(expect, "member %d %u %s %.17g\n", frame, seqno, name, value);
    }
    void Expert(int frame, const char* name) { fprintf(expect, "expert %d %s\n", frame, name); }
};

std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, size_t keep) {
    bytes.resize(keep);
    return bytes;
}

// A plain packet of an update time and the best prices.
std::vector<uint8_t> Plain(uint32_t seqno, int32_t key, int64_t seconds, int64_t msec, int64_t bid, int64_t ask) {
    return PacketBuilder(seqno).UpdateTime(key, seconds, msec).Best(bid, 3, ask, 4).Bytes();
}

// Firmware record frames in a pcap (microsecond stamps, host byte order) of link type USER0.
void WriteRecords(const std::string& dir, FILE* expect, uint64_t ts) {
    VornCffexMdType record{};
    record.inst_no = 1007;
    memcpy(record.trading_day, "20261216", 9);
    snprintf(record.instrument_id, sizeof record.instrument_id, "%s", "IF2612");
    record.UpdateTime = 34205;
    record.update_msec = 500;
    record.volume = 1234;
    record.last_price = 3812400;
    record.turn_over = 987654.5;
    record.open_interest = 4321;
    record.bid1_price = 3812200;
    record.bid1_volume = 7;
    record.ask5_price = 3813400;
    record.ask5_volume = 11;
    record.settlement_price = -5;
    record.trust_flag = 1;
    const std::string whole = std::string("\x01\x02\x03\x04", 4) +
                              std::string(reinterpret_cast<const char*>(&record), sizeof record);
    fprintf(expect, "record 1 inst_no 1007\nrecord 1 instrument_id IF2612\nrecord 1 update_time 34205\n"
                    "record 1 update_msec 500\nrecord 1 volume 1234\nrecord 1 last_price 3812400\n"
                    "record 1 turn_over 987654.5\nrecord 1 bid1_price 3812200\nrecord 1 bid1_volume 7\n"
                    "record 1 ask5_price 3813400\nrecord 1 ask5_volume 11\nrecord 1 settlement_price -5\n"
                    "record 1 trust_flag 1\n"
                    // 278 bytes: the record's last two bytes are missing (the library reads them as 0).
                    "record 2 inst_no 1007\nexpert 2 vorn_record.cut\n"
                    // 200 bytes: too short to be taken at all.
                    "expert 3 vorn_record.short\n");
    std::string out;
    auto put = [&out](uint32_t v, size_t size) { out.append(reinterpret_cast<const char*>(&v), size); };
    for (uint32_t v : {0xa1b2c3d4u, 2u | 4u << 16, 0u, 0u, 65535u, 147u}) put(v, 4);
    for (size_t size : {whole.size(), size_t{278}, size_t{200}}) {
        put(static_cast<uint32_t>(ts / 1000000), 4);
        put(static_cast<uint32_t>(ts % 1000000), 4);
        put(static_cast<uint32_t>(size), 4);
        put(static_cast<uint32_t>(size), 4);
        out += whole.substr(0, size);
        ts += 100;
    }
    FILE* file = fopen((dir + "/records.pcap").c_str(), "wb");
    const bool written = file && fwrite(out.data(), 1, out.size(), file) == out.size();
    if (!file || fclose(file) != 0 || !written) {
        fprintf(stderr, "ws_capture: cannot write %s/records.pcap\n", dir.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: ws_capture DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    vorn_sim::SessionConfig config;
    config.encrypted = true;
    vorn_sim::SyntheticSession session(config);
    if (!session.Snapshot().WriteFile(dir + "/snapshot.bin")) {
        fprintf(stderr, "ws_capture: cannot write %s/snapshot.bin\n", dir.c_str());
        return 1;
    }
    FILE* expect = fopen((dir + "/expect.txt").c_str(), "w");
    if (!expect) return 1;
    Writer w{expect, {}, &session};
    const encrypt_code_segment_field segment = session.CodeSegment();
    const int32_t key = session.Instruments().front().key;

    // Encrypted session packets: every field but the update time travels encrypted.
    for (int i = 0; i < 6; ++i) {
        const uint32_t seqno = session.NextSeqNo();
        const std::vector<uint8_t> payload = session.NextPacket();
        // Field count and ids of the packet, read back from its own headers.
        size_t fields = 0;
        const int frame = static_cast<int>(w.frames.size()) + 1;
        for (size_t p = 20; p + 4 <= payload.size(); p += 4 + (payload[p + 2] << 8 | payload[p + 3])) {
            const uint16_t id = static_cast<uint16_t>(payload[p] << 8 | payload[p + 1]);
            if (vorn_sim::IsEncryptableField(id)) fprintf(expect, "encrypted %d %u %u\n", frame, seqno, id);
            ++fields;
        }
        w.Frame(payload);
        w.Packet(frame, seqno, fields);
    }
    uint32_t seqno = session.NextSeqNo();

    // A plain packet with every market-data field: small, negative, long and 10-byte varints.
    {
        PacketBuilder packet(seqno);
        packet.UpdateTime(key, 34205, 250)
            .Static(-(int64_t{1} << 60), 1100, 900, vorn_sim::kNoPriceTicks, INT64_MAX, INT64_MIN, 1.5, -0.25)
            .LastMatch(1000, int64_t{1} << 40, 12345.5, 3000)
            .Best(999, 5, 1001, 7)
            .Bid23(998, 1, 997, 2)
            .Ask23(1002, 3, 1003, 4)
            .Bid45(996, 5, 995, 6)
            .Ask45(1004, 7, 1005, 8)
            .RealPriceBanding(1200, -800);
        const int f = w.Frame(packet.Bytes());
        w.Packet(f, seqno, packet.FieldCount());
        w.Members(f, seqno,
                  {{"ins_int_id", key}, {"update_time", 34205}, {"update_msec", 250},
                   {"open_price", -(int64_t{1} << 60)}, {"high_price", 1100},
                   {"close_price", vorn_sim::kNoPriceTicks}, {"upper_limit_price", INT64_MAX},
                   {"lower_limit_price", INT64_MIN}, {"last_price", 1000}, {"volume", int64_t{1} << 40},
                   {"open_interest", 3000}, {"bid1_price", 999}, {"ask1_volume", 7}, {"bid3_volume", 2},
                   {"ask3_price", 1003}, {"bid5_price", 995}, {"ask5_volume", 8}, {"banding_upper_price", 1200},
                   {"banding_lower_price", -800}});
        w.MemberDouble(f, seqno, "settlement_price", 1.5);
        w.MemberDouble(f, seqno, "curr_delta", -0.25);
        w.MemberDouble(f, seqno, "turn_over", 12345.5);
        ++seqno;
    }
    // An encrypted packet: the update time stays readable, the rest is bytes.
    {
        const int f = w.Frame(
            PacketBuilder(seqno).Encrypted(true, segment.arg1).UpdateTime(key, 34206, 1).Best(1000, 9, 1002, 9).Bytes());
        w.Packet(f, seqno, 2);
        w.Members(f, seqno, {{"update_time", 34206}});
        fprintf(expect, "encrypted %d %u %u\n", f, seqno, 0x4434);
        ++seqno;
    }
    // Cut inside the data of its second field, then inside its header (one field whole), then
    // inside the packet header (no packet: its sequence number is used again below).
    {
        const std::vector<uint8_t> bytes = Plain(seqno, key, 34207, 2, 1000, 1001);
        int f = w.Frame(Cut(bytes, bytes.size() - 2));
        w.Packet(f, seqno, 2);
        w.Members(f, seqno, {{"update_msec", 2}});
        w.Expert(f, "vorn.cut.field");
        ++seqno;
        const size_t firstField = 20 + 4 + vorn_sim::EncodeVarint(key).size() + vorn_sim::EncodeVarint(34208).size() +
                                  vorn_sim::EncodeVarint(3).size();
        f = w.Frame(Cut(Plain(seqno, key, 34208, 3, 1000, 1001), firstField + 2));
        w.Packet(f, seqno, 1);
        w.Expert(f, "vorn.cut.field");
        ++seqno;
        w.Expert(w.Frame(Cut(Plain(seqno, key, 34209, 4, 1000, 1001), 11)), "vorn.cut.header");
    }
    // A field one byte longer than its packet (the declared body ends before the best field's
    // last byte); the packet that follows in the payload is never reached.
    {
        PacketBuilder packet(seqno);
        packet.UpdateTime(key, 34210, 5).Best(1000, 3, 1001, 4);
        packet.OverrideBodyLen(static_cast<uint16_t>(packet.Bytes().size() - 20 - 1));
        const int f = w.Frame(vorn_sim::JoinPackets({packet.Bytes(), Plain(seqno + 1, key, 34210, 6, 1000, 1001)}));
        w.Packet(f, seqno, 2);
        w.Expert(f, "vorn.field.overrun");
        ++seqno; // the unreached packet's number is used again below
    }
    // A field header that ends its packet's body: its data step never runs, and the next
    // packet header follows right after it.
    {
        PacketBuilder packet(seqno);
        packet.UpdateTime(key, 34210, 7).Best(1000, 3, 1001, 4);
        const size_t whole = packet.Bytes().size(), bestData = 6; // 1000 and 1001 take two bytes each
        packet.OverrideBodyLen(static_cast<uint16_t>(whole - 20 - bestData));
        const std::vector<uint8_t> next = Plain(seqno + 1, key, 34210, 8, 1000, 1003);
        const int f = w.Frame(vorn_sim::JoinPackets({Cut(packet.Bytes(), whole - bestData), next}));
        w.Packet(f, seqno, 2);
        w.Packet(f, seqno + 1, 2);
        w.Members(f, seqno + 1, {{"ask1_price", 1003}});
        w.Expert(f, "vorn.field.no_data");
        seqno += 2;
    }
    // The payload ends on a field boundary before the declared body: no error, no update.
    {
        PacketBuilder packet(seqno);
        packet.UpdateTime(key, 34211, 6).Best(1000, 3, 1001, 4);
        packet.OverrideBodyLen(static_cast<uint16_t>(packet.Bytes().size() - 20 + 9));
        const int f = w.Frame(packet.Bytes());
        w.Packet(f, seqno, 2);
        w.Members(f, seqno, {{"ask1_price", 1001}});
        w.Expert(f, "vorn.short_body");
        ++seqno;
    }
    // A field of an id without a decoder, and a varint cut short inside its field.
    {
        const int f = w.Frame(
            PacketBuilder(seqno).UpdateTime(key, 34212, 7).Raw(0x1234, {1, 2, 3}).Raw(0x4434, {0x02, 0x80}).Bytes());
        w.Packet(f, seqno, 3);
        w.Members(f, seqno, {{"bid1_price", 1}, {"bid1_volume", 0}});
        w.Expert(f, "vorn.field.unknown");
        w.Expert(f, "vorn.member.cut");
        ++seqno;
    }
    // Ten bytes 0xFF: the tenth ends the number whatever its high bit, giving the smallest
    // 64-bit value, and the next member starts after it.
    {
        const std::vector<uint8_t> best = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x03, 0x04};
        const int f = w.Frame(PacketBuilder(seqno).UpdateTime(key, 34212, 8).Raw(0x4434, best).Bytes());
        w.Packet(f, seqno, 2);
        w.Members(f, seqno, {{"bid1_price", INT64_MIN}, {"bid1_volume", 1}, {"ask1_price", -2}, {"ask1_volume", 2}});
        ++seqno;
    }
    // Two packets in one payload.
    {
        const int f = w.Frame(vorn_sim::JoinPackets(
            {Plain(seqno, key, 34213, 8, 1000, 1001), Plain(seqno + 1, key, 34213, 9, 1000, 1002)}));
        w.Packet(f, seqno, 2);
        w.Packet(f, seqno + 1, 2);
        w.Members(f, seqno + 1, {{"update_msec", 9}, {"ask1_price", 1002}});
        seqno += 2;
    }
    // A jump of four sequence numbers, then enough packets that the library's reordering list
    // hands them all on.
    seqno += 4;
    for (int i = 0; i < 12; ++i, ++seqno) {
        const int f = w.Frame(Plain(seqno, key, 34214, 10 + i, 990 + i, 1010 + i));
        w.Packet(f, seqno, 2);
        w.Members(f, seqno, {{"bid1_price", 990 + i}});
        if (i == 0) w.Expert(f, "vorn.seq.jump");
    }

    // Stamped on the session's trade date at its start time (local), as vorn-snapshot does.
    struct tm day {};
    day.tm_year = config.trade_date / 10000 - 1900;
    day.tm_mon = config.trade_date / 100 % 100 - 1;
    day.tm_mday = config.trade_date % 100;
    day.tm_isdst = -1;
    const uint64_t startUsec = (static_cast<uint64_t>(mktime(&day)) + config.start_seconds) * 1000000ULL;
    if (!vorn_sim::WritePcap(dir + "/feed.pcap", w.frames, startUsec, 100)) {
        fprintf(stderr, "ws_capture: cannot write %s/feed.pcap\n", dir.c_str());
        return 1;
    }
    // Other traffic on port 5000: only the feed packet may be taken for the feed.
    {
        const std::vector<uint8_t> lookalike = PacketBuilder(1).Raw(0x9999, {1, 2, 3, 4}).Bytes();
        std::vector<uint8_t> noise;
        for (int i = 0; i < 64; ++i) noise.push_back(static_cast<uint8_t>(i * 37 + 11));
        const std::vector<std::vector<uint8_t>> other = {
            vorn_sim::MakeFrame("10.0.0.9", "239.3.42.9", 5000, lookalike),
            vorn_sim::MakeFrame("10.0.0.9", "239.3.42.9", 5000, noise),
            vorn_sim::MakeFrame("10.0.0.9", "239.3.42.9", 5000, Plain(77, key, 34300, 1, 1000, 1001)),
        };
        if (!vorn_sim::WritePcap(dir + "/other.pcap", other, startUsec, 100)) return 1;
    }
    WriteRecords(dir, expect, startUsec);
    return fclose(expect) == 0 ? 0 : 1;
}
