// Feed parser: walks one UDP payload packet by packet and field by field, and delivers one
// update per complete packet of a selected instrument.
#define VORN_LOG_FILE "VornCffexMdApiImpl.cpp"
#include <cstring>

#include "VornCffexMdApiImpl.h"
#include "byte_order.h"
#include "output_records.h"

using namespace Vorn_R10;

namespace {

constexpr uint32_t kPacketHeaderBytes = sizeof(df_udp_header);
constexpr uint32_t kFieldHeaderBytes = sizeof(field_header);

} // namespace

int32_t CVornCffexMdApiImpl::_processChunk(const encrypt_code_segment_field& EncryptCodeSegmentField,
                                           const uint8_t* data, uint32_t size, CVornCffexMdApiImpl& refCffexMdApiImpl) {
    CVornCffexMdApiImpl& p = refCffexMdApiImpl;
    p.m_state = HEADER;
    memset(&p.m_UdpHeader, 0, sizeof p.m_UdpHeader);
    memset(&p.m_FieldHeader, 0, sizeof p.m_FieldHeader);
    p.m_FieldData.clear();
    p.m_CurUdpPktLen = 0;
    if (size == 0) return 0;

    // 64-bit so that a skipped stale packet's declared length cannot wrap the count.
    uint64_t totalBytesProcessed = 0;
    while (true) {
        const uint8_t* at = data + totalBytesProcessed;
        const uint32_t left = size - static_cast<uint32_t>(totalBytesProcessed);
        int32_t step;
        switch (p.m_state) {
        case HEADER: step = processHeader(at, left, p); break;
        case FIELD_HEADER: step = processFieldHeader(at, left, p); break;
        case FIELD_DATA: step = processFieldData(EncryptCodeSegmentField, at, left, p); break;
        default: p.m_state = HEADER; return -1;
        }
        if (step == -1) {
            m_counters.ParseError();
            return -1;
        }
        totalBytesProcessed += static_cast<uint32_t>(step);
        if (totalBytesProcessed >= size) return static_cast<int32_t>(totalBytesProcessed);
    }
}

int32_t CVornCffexMdApiImpl::processHeader(const uint8_t* data, uint32_t size, CVornCffexMdApiImpl& refCffexMdApiImpl) {
    CVornCffexMdApiImpl& p = refCffexMdApiImpl;
    if (size < kPacketHeaderBytes) return -1;
    df_udp_header& header = p.m_UdpHeader;
    header.ver = data[0];
    header.type = data[1];
    header.topicid = LoadBe16(data + 2);
    header.trans_id = LoadBe32(data + 4);
    header.seqno = LoadBe32(data + 8);
    header.numFields = LoadBe16(data + 12);
    header.bodylen = LoadBe16(data + 14);
    header.encrypt = LoadBe32(data + 16);
    p.m_CurUdpPktLen = header.bodylen;
    p.m_state = FIELD_HEADER;

    if (header.seqno <= p.m_CurUdpNo) {
        p.m_counters.PacketStale();
        p.m_state = HEADER;
        p.m_CurUdpPktLen = 0;
        return header.bodylen + static_cast<int32_t>(kPacketHeaderBytes);
    }
    if (header.seqno != p.m_CurUdpNo + 1)
        VORN_LOG(LOG_INFO, "[%s:%d] [%s],UdpNo is not seq, m_CurUdpNo is [%d], m_UdpHeader seqno is [%d]",
                 static_cast<int>(p.m_CurUdpNo), static_cast<int>(header.seqno));
    p.m_CurUdpNo = header.seqno;
    p.m_counters.PacketParsed();
    VORN_LOG(LOG_DEBUG_EX, "[%s:%d] [%s], Processed header type, bodylen is [%d], seqno is [%d]",
             static_cast<int>(header.bodylen), static_cast<int>(header.seqno));
    return static_cast<int32_t>(kPacketHeaderBytes);
}

int32_t CVornCffexMdApiImpl::processFieldHeader(const uint8_t* data, uint32_t size,
                                                CVornCffexMdApiImpl& refCffexMdApiImpl) {
    CVornCffexMdApiImpl& p = refCffexMdApiImpl;
    if (size < kFieldHeaderBytes || p.m_CurUdpPktLen < static_cast<int32_t>(kFieldHeaderBytes)) return -1;
    p.m_CurUdpPktLen -= kFieldHeaderBytes;
    p.m_state = p.m_CurUdpPktLen > 0 ? FIELD_DATA : HEADER;
    p.m_FieldHeader.fieldId = LoadBe16(data);
    p.m_FieldHeader.fieldlen = LoadBe16(data + 2);
    VORN_LOG(LOG_DEBUG_EX, "[%s:%d] [%s], Processed fieldheader: id=0x[%x], len is [%d]",
             static_cast<unsigned>(p.m_FieldHeader.fieldId), static_cast<int>(p.m_FieldHeader.fieldlen));
    return static_cast<int32_t>(kFieldHeaderBytes);
}

int32_t CVornCffexMdApiImpl::processFieldData(const encrypt_code_segment_field& EncryptCodeSegmentField,
                                              const uint8_t* data, uint32_t size,
                                              CVornCffexMdApiImpl& refCffexMdApiImpl) {
    CVornCffexMdApiImpl& p = refCffexMdApiImpl;
    const uint16_t fieldlen = p.m_FieldHeader.fieldlen;
    if (fieldlen > size) return -1;
    p.m_FieldData.assign(data, data + fieldlen);
    processCompleteField(EncryptCodeSegmentField, p);
    if (p.m_CurUdpPktLen < fieldlen) return -1;
    p.m_CurUdpPktLen -= fieldlen;
    if (p.m_CurUdpPktLen > 0) {
        p.m_state = FIELD_HEADER;
        VORN_LOG(LOG_DEBUG_EX, "[%s:%d] [%s], Processed fieldheader: id=0x[%x], len is [%d]",
                 static_cast<unsigned>(p.m_FieldHeader.fieldId), static_cast<int>(fieldlen));
        return fieldlen;
    }
    p.m_state = HEADER;
    p.DeliverPacket();
    return fieldlen;
}

// End of a packet: one update for the current instrument, version 2 first.
void CVornCffexMdApiImpl::DeliverPacket() {
    depth_market_data_field* record = m_curDepth;
    if (!record) {
        const auto found = m_depth_market_data_infos.find(static_cast<int32_t>(m_last_inst_id));
        if (found == m_depth_market_data_infos.end()) {
            VORN_LOG(LOG_DEBUG, "[%s:%d] [%s], inst_id is [%d], is not snapshot data, ",
                     static_cast<int>(m_last_inst_id));
            return;
        }
        record = m_curDepth = &found->second;
    }
    if (m_curSelected < 0) m_curSelected = static_cast<int32_t>(SelectionOf(*record));
    if (m_curSelected == 0) return;

    if (gfunc_parser_verison_2) {
        convert_data_v2(m_CffexMarketdata, *record, *this);
        gfunc_parser_verison_2(&m_CffexMarketdata);
        ClearRecord(&m_CffexMarketdata, sizeof m_CffexMarketdata);
    }
    if (gfunc_parser) {
        convert_data_v1(m_MktDepUpdate, *record, *this);
        gfunc_parser(&m_MktDepUpdate);
        ClearRecord(&m_MktDepUpdate, sizeof m_MktDepUpdate);
    }
    CountDelivered(*record);
    VORN_LOG(LOG_DEBUG_EX, "[%s:%d] [%s], Processed fieldheader: id=0x[%x], len is [%d]",
             static_cast<unsigned>(m_FieldHeader.fieldId), static_cast<int>(m_FieldHeader.fieldlen));
}
