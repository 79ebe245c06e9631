// Hardware mode receive: decoded records on channel 1, lost-message events on channel 0.
#include <cstring>

#include "VornCffexMdApiImpl.h"
#include "exanic_dma.h"
#include "output_records.h"

using namespace Vorn_R10;

namespace {

constexpr ssize_t kRecordOffset = 4; // the firmware's prefix before each record
constexpr ssize_t kMinRecordFrame = sizeof(VornCffexMdType);
constexpr ssize_t kBufferBytes = 2048;

} // namespace

// Widening reads the card's clock, so only frames whose latency is measured are converted.
int64_t CVornCffexMdApiImpl::CardWireNs(exanic_cycles32_t stamp) const {
    if (!m_pNicHandler) return 0;
    const exanic_cycles_t cycles = exanic_expand_timestamp(m_pNicHandler, stamp);
    return cycles > 0 ? exanic_cycles_to_ns(m_pNicHandler, cycles) : 0;
}

int32_t CVornCffexMdApiImpl::ExanicCffexDMA1() {
    ClearDirtied(m_recvBufDma1, m_recvLenDma1);
    exanic_cycles32_t stamp = 0;
    const ssize_t size =
        exanic_receive_frame(CExanicDMA::GetInstance().get_dma1_ptr(), m_recvBufDma1, kBufferBytes, &stamp);
    m_recvLenDma1 = DirtiedBytes(size);
    if (size == 0) {
        m_counters.Idle();
        return 0;
    }
    m_counters.FrameBegin();
    const int64_t wireNs = m_counters.Sampling() ? CardWireNs(stamp) : 0;
    HandleRecordFrame(size);
    m_counters.FrameEnd(wireNs);
    return 0;
}

// One frame of channel 1 in hardware mode: a record behind the firmware's prefix, or the
// receive call's error.
void CVornCffexMdApiImpl::HandleRecordFrame(ssize_t size) {
    if (size < 0) {
        CountReceiveError(size);
        return;
    }
    if (size < kMinRecordFrame || size > kBufferBytes) {
        m_counters.FrameDropped(DROP_TOO_SHORT);
        return;
    }
    m_counters.HardwareRecord();
    VornCffexMdType* record = reinterpret_cast<VornCffexMdType*>(m_recvBufDma1 + kRecordOffset);
    if (gfunc_parser) {
        convert_to_market_depth_update(m_MktDepUpdate, record);
        gfunc_parser(&m_MktDepUpdate);
        ClearRecord(&m_MktDepUpdate, sizeof m_MktDepUpdate);
    }
    if (gfunc_parser_verison_2) gfunc_parser_verison_2(record);
    CountDelivered(*record, record->trust_flag);
}

int32_t CVornCffexMdApiImpl::ExanicCffexDMA0_Abnormal_Event() {
    ClearDirtied(m_recvBufDma0, m_recvLenDma0);
    const ssize_t size =
        exanic_receive_frame(CExanicDMA::GetInstance().get_dma0_ptr(), m_recvBufDma0, kBufferBytes, nullptr);
    m_recvLenDma0 = DirtiedBytes(size);
    if (size == 0) return 0;
    m_counters.FrameBegin();
    HandleEventFrame(size);
    m_counters.FrameEnd();
    return 0;
}

// One frame of channel 0 in hardware mode: a lost-message event, or the receive call's error.
void CVornCffexMdApiImpl::HandleEventFrame(ssize_t size) {
    if (size < 0) {
        CountReceiveError(size);
        return;
    }
    if (size > kBufferBytes) return;
    sAbnormalEvent event;
    memcpy(&event, m_recvBufDma0, sizeof event);
    if (event.msg_type != DMA_EVENT) return;
    m_counters.HardwareLossEvent();
    VORN_LOG(LOG_WARNING, "[%s:%d] [%s], msy type is %u, len is %u, lost_msg_seqnum is %u, lost_lane is %lu.",
             event.msg_type, event.msg_len, event.lost_msg_seqnum, static_cast<unsigned long>(event.lost_lane));
}
