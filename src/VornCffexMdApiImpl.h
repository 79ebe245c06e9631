// The connector: all per-run state, the start-up sequence and the receive loop.
// Member definitions are split by concern over the VornCffexMdApiImpl*.cpp files.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include <exanic/exanic.h>
#include <exanic/fifo_rx.h>

#include "CommonLog.h"
#include "DateType.h"
#include "FpgaStruct.h"
#include "FpgaStructCommon.h"
#include "SignalProcess.h"
#include "counters_writer.h"
#include "VornCffexMdApi.h"
#include "df_udp.h"
#include "listex.h"
#include "ust_string_base.h"

extern "C" {
extern void (*gfunc_parser)(MarketDepthUpdate*);
extern void (*gfunc_parser_verison_2)(VornCffexMdType*);
}

// Seconds since midnight to "HH:MM:SS" in a process-wide buffer; null above 86399.
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
};

class CVornCffexMdApiImpl : public CVornCffexMdApi, public Vorn_R10::CSignalProcess {
public:
    static constexpr int32_t MANAGER_CHANNEL = 0;
    enum State : int32_t { HEADER = 0, FIELD_HEADER = 1, FIELD_DATA = 2 };

    CVornCffexMdApiImpl();
    virtual ~CVornCffexMdApiImpl();

    int VornRecvStart(CVornCffexMdSpi& refVornCffexMdSpi, const char* lpConfig) override;
    int VornStart(CVornCffexMdSpi& refVornCffexMdSpi, const char* lpConfig) override;
    int VornRecv() override;
    void _BindCpu();

    // Configuration.
    int32_t _ReadConfig();
    // Live counters: the file once the configuration is known, the selected instruments once
    // the snapshot and work mode are. Neither fails start-up: the counters stay private.
    void StartCounters();
    void CountSelectedInstruments();
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
    // wrote, so the cost follows the frame rather than the buffer.
    static uint32_t DirtiedBytes(ssize_t size);
    static void ClearDirtied(char* buffer, uint32_t& dirtied);

    // Hardware receive.
    int32_t ExanicCffexDMA1();
    int32_t ExanicCffexDMA0_Abnormal_Event();
    static void convert_to_market_depth_update(MarketDepthUpdate& updatebuf, const VornCffexMdType* pCffexMdType);

    // Frame receive and reordering.
    int32_t ExanicCffexDMA0();
    // A feed datagram of channel 0: its payload starts udp_packet_len bytes into the frame and
    // holds payload_len bytes; recvSize (the whole frame's length) is printed in log lines.
    int32_t ExanicCffexDMA0_NoBuffer(const df_udp_header* pUdpHeader, uint32_t udp_packet_len, uint32_t payload_len,
                                     uint32_t recvSize);
    int32_t ExanicCffexDMA0_Buffer(const df_udp_header* pUdpHeader, uint32_t udp_packet_len, uint32_t payload_len,
                                   uint32_t recvSize);
    int32_t InsertExanicRecvList(const df_udp_header* pUdpHeader, uint32_t udp_packet_len, uint32_t payload_len);
    int32_t DealExanicRecvList();
    int32_t ExanicRecvListOverflow();
    void ParseFeedChannels();
    void ClearTrustFlags();

    // Feed parser. The code segment is passed by reference: it is read-only here.
    int32_t _processChunk(const encrypt_code_segment_field& EncryptCodeSegmentField, const uint8_t* data,
                          uint32_t size, CVornCffexMdApiImpl& refCffexMdApiImpl);
    int32_t processHeader(const uint8_t* data, uint32_t size, CVornCffexMdApiImpl& refCffexMdApiImpl);
    int32_t processFieldHeader(const uint8_t* data, uint32_t size, CVornCffexMdApiImpl& refCffexMdApiImpl);
    int32_t processFieldData(const encrypt_code_segment_field& EncryptCodeSegmentField, const uint8_t* data,
                             uint32_t size, CVornCffexMdApiImpl& refCffexMdApiImpl);
    void DeliverPacket();

    // Field application and output conversion.
    void processCompleteField(const encrypt_code_segment_field& EncryptCodeSegmentField,
                              CVornCffexMdApiImpl& refCffexMdApiImpl);
    double get_price(const int64_t* src_price, CVornCffexMdApiImpl& refCffexMdApiImpl);
    static void check_adjust_price(double& price);
    void convert_data_v1(MarketDepthUpdate& updatebuf, depth_market_data_field& refmd,
                         CVornCffexMdApiImpl& refCffexMdApiImpl);
    void convert_data_v2(VornCffexMdType& updatebuf, depth_market_data_field& refmd,
                         CVornCffexMdApiImpl& refCffexMdApiImpl);
    int64_t GetTrustFlag(int inst_id) const;
    void SetCurrentInstrument(int64_t inst_id);
    depth_market_data_field& CurrentDepth();
    const ins_price_encode_info_field& CurrentPriceInfo();

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
    std::unordered_map<int32_t, depth_market_data_field> m_depth_market_data_infos;
    std::unordered_map<int32_t, int64_t> m_depth_market_trust_flag;
    uint32_t m_key_type = 0;
    uint32_t m_key_arg = 0;
    int32_t m_iWorkMode = 1;
    std::vector<SCffexInstTableType> m_instTable;
    State m_state = HEADER;
    df_udp_header m_UdpHeader{};
    field_header m_FieldHeader{};
    std::vector<uint8_t> m_FieldData;
    int32_t m_CurUdpPktLen = 0;
    uint32_t m_CurUdpNo = 0;
    int64_t m_last_inst_id = 0;
    VornCffexMdType m_CffexMarketdata{};
    Vorn_R10::CAddressType m_udp_src_ip_a;
    Vorn_R10::CAddressType m_udp_dst_port_a;
    Vorn_R10::CAddressType m_udp_src_ip_b;
    Vorn_R10::CAddressType m_udp_dst_port_b;
    std::map<int32_t, std::vector<Vorn_R10::CUstCharArray<32>>> m_instMap;
    exanic_t* m_pNicHandler = nullptr;
    char m_recvBufDma0[2048] = {};
    char m_recvBufDma1[2048] = {};
    MarketDepthUpdate m_MktDepUpdate{};
    Vorn_R10::CListExImpl<sExanicRecv> m_ExanicRecvList;

    // Derived at start-up and kept for the data path.
    std::vector<SFeedChannel> m_feedChannels;       // m_MultiAddressField, parsed
    uint32_t m_recvLenDma0 = 0;                     // bytes of m_recvBufDma0 the last frame dirtied
    uint32_t m_recvLenDma1 = 0;                     // bytes of m_recvBufDma1 the last frame dirtied
    // The current instrument's entries, resolved on first use after m_last_inst_id changes.
    depth_market_data_field* m_curDepth = nullptr;
    const ins_price_encode_info_field* m_curPriceInfo = nullptr;
    int64_t* m_curTrust = nullptr;
    int32_t m_curSelected = -1;                     // _GetChannelCfg of m_curDepth, -1 unknown

    // Live counters in shared memory, written by the receive thread only.
    Vorn_R10::CCountersWriter m_counters;
};
