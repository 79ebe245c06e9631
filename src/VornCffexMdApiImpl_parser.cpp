// Feed parser: walks one UDP payload packet by packet and field by field, and delivers one
// update per complete packet of a selected instrument.
#include <cstring>

#include "VornCffexMdApiImpl.h"
#include "byte_order.h"
#include "output_records.h"

using namespace Vorn_R10;

namespace {

constexpr uint32_t kPacketHeaderBytes = sizeof(df_udp_header);
constexpr uint32_t kFieldHeaderBytes = sizeof(field_header);

} // namespace

// One loop over the payload, packet by packet and field by field; the parser's position
// lives in locals and reaches the members only on return.
int32_t CVornCffexMdApiImpl::_processChunk(const encrypt_code_segment_field& EncryptCodeSegmentField,
                                           const uint8_t* data, uint32_t size, CVornCffexMdApiImpl& refCffexMdApiImpl) {
    CVornCffexMdApiImpl& p = refCffexMdApiImpl;
    if (size == 0) {
        p.WriteBackParseState(SParseState{});
        return 0;
    }
    const int32_t result = p.ParsePayload(EncryptCodeSegmentField, data, size);
    if (result == -1) p.m_counters.ParseError();
    return result;
}

void CVornCffexMdApiImpl::WriteBackParseState(const SParseState& parse) {
    m_state = parse.state;
    m_UdpHeader = parse.header;
    m_FieldHeader = parse.field;
    m_CurUdpPktLen = parse.pktLen;
}

// One pass over the payload, step by step: a packet header, then its fields' headers and data,
// until the payload ends. Each step leaves parse.state at the step that follows (a stale
// packet's header and a field header that ends its packet lead to the next packet header).
// A packet within the payload goes through one field loop instead of the steps, as far as its
// fields fit its body (nearly always to its end), with the same result; the steps take over at
// a field that does not fit, and take traced and cut packets whole. The state lives in a local
// and reaches the members once, on return.
__attribute__((always_inline)) inline int32_t CVornCffexMdApiImpl::ParsePayload(const encrypt_code_segment_field& code,
                                                                                const uint8_t* data, uint32_t size) {
    SParseState parse;
    parse.trace = CCommonLog::Enabled(LOG_DEBUG_EX); // tested once per payload
    // 64-bit so that a skipped stale packet's declared length cannot wrap the count.
    uint64_t done = 0;
    int32_t step;
    for (;;) {
        if ((step = processHeader(data + done, size - static_cast<uint32_t>(done), parse)) < 0) break;
        if ((done += static_cast<uint32_t>(step)) >= size) break;
        if (parse.state != HEADER && !parse.trace && parse.pktLen > 0 &&
            static_cast<uint32_t>(parse.pktLen) <= size - static_cast<uint32_t>(done)) {
            const uint32_t taken = ApplyPacketFields(code, data + done, static_cast<uint32_t>(parse.pktLen),
                                                     (parse.header.encrypt & DF_ENCRYPT_FLAG) != 0, parse.field);
            done += taken;
            parse.pktLen -= static_cast<int32_t>(taken);
            if (parse.pktLen == 0) {
                parse.state = HEADER;
                DeliverPacket(parse.field, false);
                if (done >= size) break;
                continue;
            }
            // The rest of the packet, from the field that does not fit, takes the steps.
        }
        while (parse.state != HEADER) {
            if ((step = processFieldHeader(data + done, size - static_cast<uint32_t>(done), parse)) < 0) break;
            if ((done += kFieldHeaderBytes) >= size || parse.state == HEADER) break;
            if ((step = processFieldData(code, data + done, size - static_cast<uint32_t>(done), parse)) < 0) break;
            if ((done += static_cast<uint32_t>(step)) >= size) break;
        }
        if (step < 0 || done >= size) break;
    }
    WriteBackParseState(parse);
    return step < 0 ? -1 : static_cast<int32_t>(done);
}

__attribute__((always_inline)) inline int32_t CVornCffexMdApiImpl::processHeader(const uint8_t* data, uint32_t size,
                                                                                 SParseState& parse) {
    if (size < kPacketHeaderBytes) return -1;
    df_udp_header& header = parse.header;
    header.ver = data[0];
    header.type = data[1];
    header.topicid = LoadBe16(data + 2);
    header.trans_id = LoadBe32(data + 4);
    header.seqno = LoadBe32(data + 8);
    header.numFields = LoadBe16(data + 12);
    header.bodylen = LoadBe16(data + 14);
    header.encrypt = LoadBe32(data + 16);

    // Stale: at or below the last packet taken in.
    if (header.seqno <= m_CurUdpNo) {
        m_counters.PacketStale();
        parse.state = HEADER;
        parse.pktLen = 0;
        return header.bodylen + static_cast<int32_t>(kPacketHeaderBytes);
    }
    parse.pktLen = header.bodylen;
    parse.state = FIELD_HEADER;
    // A gap in the sequence.
    if (header.seqno != m_CurUdpNo + 1)
        VORN_LOG(LOG_INFO, "[%s:%d] [%s],UdpNo is not seq, m_CurUdpNo is [%d], m_UdpHeader seqno is [%d]",
                 static_cast<int>(m_CurUdpNo), static_cast<int>(header.seqno));
    m_CurUdpNo = header.seqno;
    m_counters.PacketParsed();
    if (parse.trace)
        VORN_LOG(LOG_DEBUG_EX, "[%s:%d] [%s], Processed header type, bodylen is [%d], seqno is [%d]",
                 static_cast<int>(header.bodylen), static_cast<int>(header.seqno));
    return static_cast<int32_t>(kPacketHeaderBytes);
}

__attribute__((always_inline)) inline int32_t
CVornCffexMdApiImpl::processFieldHeader(const uint8_t* data, uint32_t size, SParseState& parse) {
    if (size < kFieldHeaderBytes || parse.pktLen < static_cast<int32_t>(kFieldHeaderBytes)) return -1;
    parse.pktLen -= kFieldHeaderBytes;
    parse.state = parse.pktLen > 0 ? FIELD_DATA : HEADER;
    parse.field.fieldId = LoadBe16(data);
    parse.field.fieldlen = LoadBe16(data + 2);
    if (parse.trace)
        VORN_LOG(LOG_DEBUG_EX, "[%s:%d] [%s], Processed fieldheader: id=0x[%x], len is [%d]",
                 static_cast<unsigned>(parse.field.fieldId), static_cast<int>(parse.field.fieldlen));
    return static_cast<int32_t>(kFieldHeaderBytes);
}

// The field is applied before its length is checked against the packet's: a field that
// overruns its packet still lands, and the payload then fails.
__attribute__((always_inline)) inline int32_t
CVornCffexMdApiImpl::processFieldData(const encrypt_code_segment_field& EncryptCodeSegmentField, const uint8_t* data,
                                      uint32_t size, SParseState& parse) {
    const uint16_t fieldlen = parse.field.fieldlen;
    if (fieldlen > size) return -1;
    processCompleteField(EncryptCodeSegmentField, parse.field.fieldId, data, fieldlen,
                         (parse.header.encrypt & DF_ENCRYPT_FLAG) != 0);
    if (parse.pktLen < fieldlen) return -1;
    parse.pktLen -= fieldlen;
    if (parse.pktLen > 0) {
        parse.state = FIELD_HEADER;
        if (parse.trace)
            VORN_LOG(LOG_DEBUG_EX, "[%s:%d] [%s], Processed fieldheader: id=0x[%x], len is [%d]",
                     static_cast<unsigned>(parse.field.fieldId), static_cast<int>(fieldlen));
        return fieldlen;
    }
    parse.state = HEADER;
    DeliverPacket(parse.field, parse.trace);
    return fieldlen;
}

// End of a packet: one update for the current instrument, version 2 first. Each record is
// built from the depth record in the connector's own buffer, only when its callback is set,
// and cleared after the call, so a callback that writes into its record changes nothing kept.
void CVornCffexMdApiImpl::DeliverPacket(field_header lastField, bool trace) {
    SInstrumentSlot& slot = CurrentSlot();
    if (!slot.depth) {
        VORN_LOG(LOG_DEBUG, "[%s:%d] [%s], inst_id is [%d], is not snapshot data, ", static_cast<int>(m_last_inst_id));
        return;
    }
    if (slot.selected < 0) slot.selected = SelectionOf(*slot.depth) != 0;
    if (slot.selected == 0) return;
    const depth_market_data_field& md = *slot.depth;
    // A text this slot made reads its seconds; one from the snapshot is read back.
    const int64_t seconds =
        slot.textSeconds != UINT32_MAX ? int64_t{slot.textSeconds} : set_update_time(md.update_time);
    const int64_t trust = OutputTrustWord(slot) == m_trustComplete ? 1 : 0;
    if (auto onV2 = gfunc_parser_verison_2) {
        FillV2(m_CffexMarketdata, md, seconds);
        m_CffexMarketdata.trust_flag = trust;
        onV2(&m_CffexMarketdata);
        ClearRecord(&m_CffexMarketdata, sizeof m_CffexMarketdata);
    }
    if (auto onV1 = gfunc_parser) {
        FillV1(m_MktDepUpdate, md);
        m_MktDepUpdate.Trust_flag = trust;
        onV1(&m_MktDepUpdate);
        ClearRecord(&m_MktDepUpdate, sizeof m_MktDepUpdate);
    }
    CountDelivered(slot, seconds, trust);
    if (trace)
        VORN_LOG(LOG_DEBUG_EX, "[%s:%d] [%s], Processed fieldheader: id=0x[%x], len is [%d]",
                 static_cast<unsigned>(lastField.fieldId), static_cast<int>(lastField.fieldlen));
}
