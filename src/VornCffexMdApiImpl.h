// The connector: all per-run state, the start-up sequence and the receive loop. Member
// definitions are split by concern over the VornCffexMdApiImpl*.cpp files.
//
// Threads: one thread owns everything here. The thread that calls VornStart (through
// init_connector) runs start-up and then the receive loop, and the callbacks run on it; no
// member is touched by any other thread, so nothing here locks (the reorder list's spin lock
// aside). The process-wide pieces it uses (log, register window, receive channels, code
// segment runner) are singletons of their own.
//
// Results: start-up operations return 0 for success and -1 for failure and log their own
// line; VornRecv returns -1 once the exit flag is up, else 0. The receive operations
// (ExanicCffexDMA*) return 0 per poll whatever the frame held (ExanicCffexDMA0: 1 for a frame
// shorter than a packet header); faults in a frame are logged, never returned. Other
// operations state their result where declared.
//
// Caches: members under "Derived" below are caches of the snapshot maps and the
// configuration. Whoever changes m_depth_market_data_infos, m_ins_price_infos or
// m_depth_market_trust_flag other than through the data path (snapshot load, tests, fuzz
// harnesses) calls ResetInstrumentCache() before the next packet; so does whoever changes the
// trust value of a key whose record carries that key.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include <exanic/exanic.h>
#include <exanic/fifo_rx.h>
#include <exanic/time.h>

#include "CommonLog.h"
#include "DateType.h"
#include "FpgaStruct.h"
#include "FpgaStructCommon.h"
#include "SignalProcess.h"
#include "counters_writer.h"
#ifdef VORN_COUNTERS_HOOKS_OFF
#include "counters_hooks_off.h"
#endif
#include "VornCffexMdApi.h"
#include "df_udp.h"
#include "instrument_slots.h"
#include "listex.h"
#include "socket_transport.h"
#include "ust_string_base.h"

namespace Vorn_R10 {
class CIniReader;
}

extern "C" {
extern void (*gfunc_parser)(MarketDepthUpdate*);
extern void (*gfunc_parser_verison_2)(VornCffexMdType*);
}

// Seconds since midnight to "HH:MM:SS" in a process-wide buffer, valid until the next call;
// null above 86399.
char* get_update_time(const uint32_t* src_time);
// "HH:MM:SS" (8 characters, unchecked) to seconds since midnight.
int64_t set_update_time(const char* update_time);

template <typename T>
struct CUSTOptional {
    T* m_pointer = nullptr;
};

// One packet waiting in the reorder list: a copy of its UDP payload.
struct sExanicRecv {
    sExanicRecv* pNext;
    char m_recvBufDma[2048];
    uint32_t m_recvBufSize;
    uint32_t seqno;
};

// A feed channel parsed once at start-up: frames match on source address and port exactly.
struct SFeedChannel {
    bool valid;
    uint32_t source_addr; // host order
    uint16_t port;
    bool group_valid;    // the group is a dotted IPv4 address (the socket transport needs it)
    uint32_t group_addr; // host order: the group the socket transport binds and joins
};

// final: the receive loop's VornRecv() is a direct call.
class CVornCffexMdApiImpl final : public CVornCffexMdApi, public Vorn_R10::CSignalProcess {
public:
    static constexpr int32_t MANAGER_CHANNEL = 0;
    enum State : int32_t { HEADER = 0, FIELD_HEADER = 1, FIELD_DATA = 2 };

    CVornCffexMdApiImpl();
    virtual ~CVornCffexMdApiImpl();

    int VornRecvStart(CVornCffexMdSpi& refVornCffexMdSpi, const char* lpConfig) override;
    int VornStart(CVornCffexMdSpi& refVornCffexMdSpi, const char* lpConfig) override;
    int VornRecv() override;
    void _BindCpu();
    // Gives the card back (receive buffers, register window, handle) when the connector ends,
    // so that a later connector in the same process starts from its own.
    void ReleaseCard();

    // Configuration.
    int32_t _ReadConfig();
    void ReadTransportKeys(const Vorn_R10::CIniReader& reader);
    int32_t ReadReceiveBufferKey(const Vorn_R10::CIniReader& reader);
    // Live counters: the file once the configuration is known, the selected instruments once
    // the snapshot and work mode are. Neither fails start-up: the counters stay private.
    void StartCounters();
    void CountSelectedInstruments();
    // Counter hooks that need the connector's state (one line at each call site).
    void CountReceiveError(ssize_t error);
    void CountDelivered(const VornCffexMdType& record, int64_t trust);          // after the update's callbacks
    void CountDelivered(SInstrumentSlot& slot, int64_t seconds, int64_t trust); // the same, entry kept in the slot
    void CountDeliveredTo(Vorn_R10::SInstrumentCounters* entry, const VornCffexMdType& record, int64_t trust);
    uint32_t _GetChannelCfg(const char* pInstrumentId, uint32_t instLength);
    uint32_t SelectionOf(const depth_market_data_field& record);

    // Snapshot and work mode.
    void init_snaphot_params();
    // Loads the configured `snapshot` file, or the day's file when none is configured. 0 or -1.
    int32_t LoadSnaphot();
    int32_t LoadFromFile(const std::string& filename);
    static bool _parseURL(const std::string& url, std::string& port, std::string& ipAfter);
    static std::string SnapshotFileName(); // of today's local date
    static std::string SnapshotFileName(const Vorn_R10::CDateType& date);
    int32_t LoadKey();
    // LoadKey, then the work_mode and transport keys: either can force software decoding.
    // Logs the mode chosen and why.
    void ChooseWorkMode();
    static void _hexdump(const unsigned char* p, size_t size);

    // FPGA set-up.
    int32_t _SetRegIp(uint32_t ipReg, const Vorn_R10::CAddressType& refIpAddr);
    int32_t _SetRegPort(uint32_t portReg, const Vorn_R10::CAddressType& refPort);
    int32_t _InitFpgaCommon();
    int32_t _InitFpgaUdp();
    int32_t _InitSoftUdp();
    int32_t _CheckVersion();
    int32_t _MarketToContract();
    int32_t _WriteContractTable(std::vector<SCffexInstTableType>& refInstTable, int instMaxCount);

    // Receive buffers read zero beyond each frame: a poll clears only what the last receive
    // wrote, so the cost follows the frame rather than the buffer. DirtiedBytes: the bytes a
    // receive of result `size` may have written (the frame, or the whole buffer after an error:
    // a faulty frame is copied all the same).
    static uint32_t DirtiedBytes(ssize_t size) {
        constexpr ssize_t kBufferBytes = sizeof m_recvBufDma0;
        if (size > 0 && size < kBufferBytes) return static_cast<uint32_t>(size);
        return size == 0 ? 0 : static_cast<uint32_t>(kBufferBytes);
    }
    static void ClearDirtied(char* buffer, uint32_t& dirtied) {
        if (!dirtied) return;
        memset(buffer, 0, dirtied);
        dirtied = 0;
    }

    // Hardware receive.
    // CLOCK_REALTIME ns of a frame's 32-bit card stamp (widened on the card's clock); 0 unknown.
    int64_t CardWireNs(exanic_cycles32_t stamp) const;
    int32_t ExanicCffexDMA1();
    int32_t ExanicCffexDMA0_Abnormal_Event();
    void HandleRecordFrame(ssize_t size);
    void HandleEventFrame(ssize_t size);

    // Frame receive and reordering.
    int32_t ExanicCffexDMA0();
    int32_t HandleFrameDma0(ssize_t received);
    // A feed datagram's payload (payload_len bytes, at least one, starting with the packet
    // header when long enough); recvSize (the frame's or datagram's length) is printed in log lines.
    // Through the reorder list or directly, as exanic_cache_flag says.
    void FeedPayload(const uint8_t* payload, uint32_t payload_len, uint32_t recvSize);
    int32_t ExanicCffexDMA0_NoBuffer(const uint8_t* payload, uint32_t payload_len, uint32_t recvSize);
    int32_t ExanicCffexDMA0_Buffer(const uint8_t* payload, uint32_t payload_len, uint32_t recvSize);
    int32_t InsertExanicRecvList(const uint8_t* payload, uint32_t payload_len);
    int32_t DealExanicRecvList(); // takes what the list can give now; the list must not be empty
    int32_t ExanicRecvListOverflow();
    void ParseFeedChannels();

    // Socket transport (VornCffexMdApiImpl_sockets.cpp): start-up in place of the card's, and
    // one poll of every channel's socket (a recvmmsg batch each).
    int32_t StartSockets();
    int32_t SocketReceive();
    void HandleDatagram(size_t socket, Vorn_R10::SDatagram& datagram);
    void NoteKernelDrops(size_t socket, const Vorn_R10::SDatagram& datagram);
    void NoteSocketError(size_t socket, int errnum);
    // Logs what the sockets got (receive buffers, receive times) and names the histogram.
    void ReportSocketSetup();

    // Feed parser: where it stands in the payload, kept in locals while parsing and written
    // to m_state, m_UdpHeader, m_FieldHeader and m_CurUdpPktLen when it returns.
    struct SParseState {
        State state = HEADER;
        df_udp_header header{};
        field_header field{};
        int32_t pktLen = 0;
        bool trace = false; // LOG_DEBUG_EX enabled when the payload's parse began
    };
    // Parses one UDP payload (`size` bytes at `data`, read only; encrypted fields are
    // decrypted in a scratch copy with the code segment passed in). Returns the bytes
    // consumed (a skipped stale packet counts its declared length), or -1 for a cut or
    // malformed payload; everything before the fault has been applied and delivered.
    int32_t _processChunk(const encrypt_code_segment_field& EncryptCodeSegmentField, const uint8_t* data, uint32_t size,
                          CVornCffexMdApiImpl& refCffexMdApiImpl);
    // The loop of _processChunk over a non-empty payload: bytes consumed, or -1.
    int32_t ParsePayload(const encrypt_code_segment_field& code, const uint8_t* data, uint32_t size);
    // The parser's state into m_state, m_UdpHeader, m_FieldHeader and m_CurUdpPktLen.
    void WriteBackParseState(const SParseState& parse);
    // The parser's steps: each returns the bytes it consumed, or -1.
    int32_t processHeader(const uint8_t* data, uint32_t size, SParseState& parse);
    int32_t processFieldHeader(const uint8_t* data, uint32_t size, SParseState& parse);
    int32_t processFieldData(const encrypt_code_segment_field& EncryptCodeSegmentField, const uint8_t* data,
                             uint32_t size, SParseState& parse);
    // End of a packet: one update of the current instrument to each registered callback.
    void DeliverPacket(field_header lastField, bool trace);

    // Field application (VornCffexMdApiImpl_apply.cpp): decodes one field (`len` bytes at
    // `data`, read only) into the current instrument's depth record, its kept output records
    // and its trust mask. Unknown ids are logged and ignored.
    void processCompleteField(const encrypt_code_segment_field& EncryptCodeSegmentField, uint16_t fieldId,
                              const uint8_t* data, uint16_t len, bool encrypted);
    // processCompleteField of the fields of a packet body (`bodyLen` readable bytes at `body`)
    // in order, while each lies wholly within the body and is not an empty field ending it.
    // Returns the bytes taken (bodyLen when every field was applied); `last` is the header of
    // the last field applied.
    uint32_t ApplyPacketFields(const encrypt_code_segment_field& code, const uint8_t* body, uint32_t bodyLen,
                               bool encrypted, field_header& last);
    // processCompleteField's body, inline in both callers. The field loop runs only for payloads
    // begun with traces off, so its copy (kMayTrace false) has no trace to test.
    template <bool kMayTrace>
    __attribute__((always_inline)) void ApplyField(const encrypt_code_segment_field& code, uint16_t fieldId,
                                                   const uint8_t* data, uint16_t len, bool encrypted);
    // A tick count as a price of the current instrument (the empty price for 4294967295).
    double get_price(const int64_t* src_price, CVornCffexMdApiImpl& refCffexMdApiImpl);
    // NaN and magnitudes below 1e-11 become 0.
    static void check_adjust_price(double& price);
    // The mask of `inst_id`, 0 when it has none or it was cleared since; enters nothing.
    int64_t GetTrustFlag(int inst_id) const;
    // The trust mask: 31 for the snapshot's instruments, all cleared on a loss, one bit per
    // depth-level field applied. A map value is a trust word: the epoch it was written in above
    // the mask's five bits. A loss starts a new epoch, which clears every mask at once; words of
    // an earlier epoch read as 0 and start again from 0 when a field sets a bit.
    static constexpr int64_t kCompleteBook = 31;
    static constexpr int kTrustEpochShift = 5;
    int64_t MaskOf(int64_t word) const {
        return (word & ~kCompleteBook) == (m_trustComplete & ~kCompleteBook) ? word & kCompleteBook : 0;
    }
    void SeedTrustFlags(const std::vector<int32_t>& keys);
    void ClearTrustFlags();
    void SetTrustEpoch(uint64_t epoch);
    // An encrypted field the code segment could not decrypt: counted, not applied, the current
    // instrument's trust cleared; the first of a run is logged at error level with the cause.
    void RejectUndecryptable(int32_t code_len);
    // Software mode: maps the code segment's executable page before the card is opened.
    // 0, or -1 after a line naming the host setting that refused it.
    int32_t PrepareCodePage();
    // Makes `inst_id` the instrument that fields apply to.
    void SetCurrentInstrument(int64_t inst_id);
    // Drops the per-instrument slots (see "Caches" above) and takes the trust map's values as
    // plain masks (epoch 0).
    void ResetInstrumentCache();
    SInstrumentSlot& CurrentSlot() { return m_curSlot ? *m_curSlot : ResolveCurrentSlot(); }
    SInstrumentSlot& ResolveCurrentSlot();
    void AddTrustEntry(SInstrumentSlot& slot);
    // The slot's depth record, entered (all zero) on first use.
    depth_market_data_field& DepthOf(SInstrumentSlot& slot) {
        return slot.depth ? *slot.depth : EnterCurrentDepth(slot);
    }
    depth_market_data_field& EnterCurrentDepth(SInstrumentSlot& slot);
    void SetDepth(SInstrumentSlot& slot, depth_market_data_field& depth); // of the current key
    int64_t OutputTrustWord(const SInstrumentSlot& slot) const;
    void SetTrustWord(SInstrumentSlot& slot, int64_t word);
    // The current slot with its price encoding, entered (empty) when missing.
    SInstrumentSlot& PricedSlot() {
        SInstrumentSlot& slot = CurrentSlot();
        if (!slot.hasPrice) EnterCurrentPrice(slot);
        return slot;
    }
    void EnterCurrentPrice(SInstrumentSlot& slot);
    static void SetPrice(SInstrumentSlot& slot, const ins_price_encode_info_field& encoding);
    // After a field's depth members: its trust bit.
    template <FIELD_ID kField>
    void FinishField(SInstrumentSlot& slot);
    template <bool kMayTrace>
    __attribute__((always_inline)) void ApplyUpdateTime(const uint8_t* data, uint16_t len);

    // Output conversion (VornCffexMdApiImpl_convert.cpp): a depth record into both output
    // records. Only members the record carries are written; the trust flag is that of the
    // record's own inst_id.
    void convert_data_v1(MarketDepthUpdate& updatebuf, depth_market_data_field& refmd,
                         CVornCffexMdApiImpl& refCffexMdApiImpl);
    void convert_data_v2(VornCffexMdType& updatebuf, depth_market_data_field& refmd,
                         CVornCffexMdApiImpl& refCffexMdApiImpl);
    // The same without the trust flag; `seconds` is the time of day md.update_time reads.
    static void FillV1(MarketDepthUpdate& out, const depth_market_data_field& md);
    static void FillV2(VornCffexMdType& out, const depth_market_data_field& md, int64_t seconds);
    // A firmware record into a version-1 record; nothing for a null record.
    static void convert_to_market_depth_update(MarketDepthUpdate& updatebuf, const VornCffexMdType* pCffexMdType);

    // --- members, in declaration order ---
    Vorn_R10::CCommonLog& m_logServer;
    CUSTOptional<CVornCffexMdSpi> m_vornCffexMdSpiOptional;
    Vorn_R10::CConfigFileNameType m_configFileName;
    Vorn_R10::R10CffexConfigInfo m_r10ConfigInfo;
    std::vector<multi_address_field> m_MultiAddressField;
    int32_t m_iTradeDate = 0;
    end_snap_md_field m_EndSnapMdField{};
    encrypt_code_segment_field m_RspEncryptCodeSegmentField{};
    std::unordered_map<int32_t, ins_price_encode_info_field> m_ins_price_infos;
    std::unordered_map<int32_t, SDepthRecord> m_depth_market_data_infos;
    std::unordered_map<int32_t, int64_t> m_depth_market_trust_flag;
    uint32_t m_key_type = 0;
    uint32_t m_key_arg = 0;
    int32_t m_iWorkMode = 1;
    std::vector<SCffexInstTableType> m_instTable;
    State m_state = HEADER;
    df_udp_header m_UdpHeader{};
    field_header m_FieldHeader{};
    std::vector<uint8_t> m_FieldData; // scratch of kFieldScratchBytes: a field being decrypted
    int32_t m_CurUdpPktLen = 0;
    uint32_t m_CurUdpNo = 0;
    int64_t m_last_inst_id = 0;
    bool m_undecryptableLogged = false; // the run's first undecryptable field was logged
    // The records handed to the callbacks, and the receive buffers, never straddle a 4 KiB
    // page: they are copied and cleared whole per update or frame, and on this class of CPU a
    // store split across two pages costs several times a plain one (tens of ns per record).
    alignas(kPageSafeAlignment) VornCffexMdType m_CffexMarketdata{};
    Vorn_R10::CAddressType m_udp_src_ip_a;
    Vorn_R10::CAddressType m_udp_dst_port_a;
    Vorn_R10::CAddressType m_udp_src_ip_b;
    Vorn_R10::CAddressType m_udp_dst_port_b;
    std::map<int32_t, std::vector<Vorn_R10::CUstCharArray<32>>> m_instMap;
    exanic_t* m_pNicHandler = nullptr;
    alignas(2048) char m_recvBufDma0[2048] = {};
    alignas(2048) char m_recvBufDma1[2048] = {};
    alignas(kPageSafeAlignment) MarketDepthUpdate m_MktDepUpdate{};
    Vorn_R10::CListExImpl<sExanicRecv> m_ExanicRecvList;

    // Derived: caches for the data path.
    std::vector<SFeedChannel> m_feedChannels; // m_MultiAddressField, parsed at start-up
    uint32_t m_recvLenDma0 = 0;               // bytes of m_recvBufDma0 the last frame dirtied
    uint32_t m_recvLenDma1 = 0;               // bytes of m_recvBufDma1 the last frame dirtied
    CInstrumentSlots m_slots;                 // the instrument maps, per instrument
    SInstrumentSlot* m_curSlot = nullptr;     // slot of m_last_inst_id, null until needed
    static constexpr size_t kSpareSlots = 64; // slots reserved beyond the snapshot's instruments
    // The trust epoch, and the word of a complete book in it (see GetTrustFlag).
    uint64_t m_trustEpoch = 0;
    int64_t m_trustComplete = kCompleteBook;

    // transport = socket: a socket per channel, and per socket the kernel's drop total last
    // reported, whether the last datagram brought new drops and whether the last receive
    // failed (a burst of either is logged once); whether the sockets' times are the card's.
    Vorn_R10::CSocketTransport m_sockets;
    struct SSocketDrops {
        uint32_t seen = 0;
        bool burst = false;
        bool failing = false;
    };
    std::vector<SSocketDrops> m_socketDrops;
    bool m_socketHardwareStamps = false;

    static constexpr size_t kFieldScratchBytes = 65535; // the longest field a header can declare

    // Live counters in shared memory, written by the receive thread only.
#ifdef VORN_COUNTERS_HOOKS_OFF
    CCountersHooksOff m_counters; // a benchmark build that measures the hooks' cost
#else
    Vorn_R10::CCountersWriter m_counters;
#endif
};

inline void CVornCffexMdApiImpl::CountReceiveError(ssize_t error) {
    using namespace Vorn_R10;
    if (error == -EXANIC_RX_FRAME_SWOVFL)
        m_counters.ReceiveError(RX_OVERRUN);
    else if (error == -EXANIC_RX_FRAME_TRUNCATED)
        m_counters.ReceiveError(RX_TRUNCATED);
    else
        m_counters.ReceiveError(RX_FAULTY);
}

// `record` holds the update's instrument and time; `trust` is the flag both records carried.
inline void CVornCffexMdApiImpl::CountDelivered(const VornCffexMdType& record, int64_t trust) {
    CountDeliveredTo(m_counters.Entry(record.inst_no), record, trust);
}

inline void CVornCffexMdApiImpl::CountDelivered(SInstrumentSlot& slot, int64_t seconds, int64_t trust) {
    if (slot.countersGeneration != m_counters.EntriesGeneration()) {
        slot.counters = m_counters.Entry(slot.depth->inst_id);
        slot.countersGeneration = static_cast<uint32_t>(m_counters.EntriesGeneration());
    }
    const uint64_t ms = static_cast<uint64_t>(seconds) * 1000 + static_cast<uint64_t>(slot.depth->update_msec);
    m_counters.DeliveredTo(slot.counters, ms, trust, gfunc_parser != nullptr, gfunc_parser_verison_2 != nullptr);
}

inline void CVornCffexMdApiImpl::CountDeliveredTo(Vorn_R10::SInstrumentCounters* entry, const VornCffexMdType& record,
                                                  int64_t trust) {
    const uint64_t ms = static_cast<uint64_t>(record.UpdateTime) * 1000 + static_cast<uint64_t>(record.update_msec);
    m_counters.DeliveredTo(entry, ms, trust, gfunc_parser != nullptr, gfunc_parser_verison_2 != nullptr);
}
