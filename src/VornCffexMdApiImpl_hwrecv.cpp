// Hardware mode receive: decoded records on channel 1, lost-message events on channel 0.
#define VORN_LOG_FILE "VornCffexMdApiImpl.cpp"
#include <cstring>

#include "VornCffexMdApiImpl.h"
#include "exanic_dma.h"

using namespace Vorn_R10;

namespace {

constexpr ssize_t kRecordOffset = 4; // the firmware's prefix before each record
constexpr ssize_t kMinRecordFrame = sizeof(VornCffexMdType);
constexpr ssize_t kBufferBytes = 2048;

double FromThousandths(int64_t value) { return static_cast<double>(value) / 1000.0; }

} // namespace

uint32_t CVornCffexMdApiImpl::DirtiedBytes(ssize_t size) {
    if (size > 0 && size < kBufferBytes) return static_cast<uint32_t>(size);
    return size == 0 ? 0 : static_cast<uint32_t>(kBufferBytes);
}

void CVornCffexMdApiImpl::ClearDirtied(char* buffer, uint32_t& dirtied) {
    if (!dirtied) return;
    memset(buffer, 0, dirtied);
    dirtied = 0;
}

int32_t CVornCffexMdApiImpl::ExanicCffexDMA1() {
    ClearDirtied(m_recvBufDma1, m_recvLenDma1);
    const ssize_t size = exanic_receive_frame(CExanicDMA::GetInstance().get_dma1_ptr(), m_recvBufDma1,
                                              kBufferBytes, nullptr);
    m_recvLenDma1 = DirtiedBytes(size);
    if (size < kMinRecordFrame || size > kBufferBytes) return 0;

    VornCffexMdType* record = reinterpret_cast<VornCffexMdType*>(m_recvBufDma1 + kRecordOffset);
    if (gfunc_parser) {
        convert_to_market_depth_update(m_MktDepUpdate, record);
        gfunc_parser(&m_MktDepUpdate);
        memset(&m_MktDepUpdate, 0, sizeof m_MktDepUpdate);
    }
    if (gfunc_parser_verison_2) gfunc_parser_verison_2(record);
    return 0;
}

int32_t CVornCffexMdApiImpl::ExanicCffexDMA0_Abnormal_Event() {
    ClearDirtied(m_recvBufDma0, m_recvLenDma0);
    const ssize_t size = exanic_receive_frame(CExanicDMA::GetInstance().get_dma0_ptr(), m_recvBufDma0,
                                              kBufferBytes, nullptr);
    m_recvLenDma0 = DirtiedBytes(size);
    if (size < 1 || size > kBufferBytes) return 0;

    sAbnormalEvent event;
    memcpy(&event, m_recvBufDma0, sizeof event);
    if (event.msg_type != DMA_EVENT) return 0;
    VORN_LOG(LOG_WARNING, "[%s:%d] [%s], msy type is %u, len is %u, lost_msg_seqnum is %u, lost_lane is %lu.",
             event.msg_type, event.msg_len, event.lost_msg_seqnum, static_cast<unsigned long>(event.lost_lane));
    return 0;
}

void CVornCffexMdApiImpl::convert_to_market_depth_update(MarketDepthUpdate& updatebuf,
                                                         const VornCffexMdType* pCffexMdType) {
    if (!pCffexMdType) return;
    const VornCffexMdType& md = *pCffexMdType;
    memcpy(updatebuf.InstrumentID, md.instrument_id, sizeof updatebuf.InstrumentID);
    // Seconds beyond the day have no text: the version-1 time is then empty.
    const uint32_t seconds = static_cast<uint32_t>(md.UpdateTime);
    const char* text = get_update_time(&seconds);
    if (text) memcpy(updatebuf.UpdateTime, text, sizeof updatebuf.UpdateTime);
    else memset(updatebuf.UpdateTime, 0, sizeof updatebuf.UpdateTime);
    updatebuf.UpdateMillisec = md.update_msec;
    updatebuf.Volume = md.volume;
    updatebuf.LastPrice = FromThousandths(md.last_price);
    updatebuf.Turnover = md.turn_over;
    updatebuf.OpenInterest = static_cast<double>(md.open_interest);
    updatebuf.BidVolume1 = md.bid1_volume;
    updatebuf.AskVolume1 = md.ask1_volume;
    updatebuf.BidVolume2 = md.bid2_volume;
    updatebuf.AskVolume2 = md.ask2_volume;
    updatebuf.BidVolume3 = md.bid3_volume;
    updatebuf.AskVolume3 = md.ask3_volume;
    updatebuf.BidVolume4 = md.bid4_volume;
    updatebuf.AskVolume4 = md.ask4_volume;
    updatebuf.BidVolume5 = md.bid5_volume;
    updatebuf.AskVolume5 = md.ask5_volume;
    updatebuf.BidPrice1 = FromThousandths(md.bid1_price);
    updatebuf.AskPrice1 = FromThousandths(md.ask1_price);
    updatebuf.BidPrice2 = FromThousandths(md.bid2_price);
    updatebuf.AskPrice2 = FromThousandths(md.ask2_price);
    updatebuf.BidPrice3 = FromThousandths(md.bid3_price);
    updatebuf.AskPrice3 = FromThousandths(md.ask3_price);
    updatebuf.BidPrice4 = FromThousandths(md.bid4_price);
    updatebuf.AskPrice4 = FromThousandths(md.ask4_price);
    updatebuf.BidPrice5 = FromThousandths(md.bid5_price);
    updatebuf.AskPrice5 = FromThousandths(md.ask5_price);
    updatebuf.HighestPrice = FromThousandths(md.high_price);
    updatebuf.LowestPrice = FromThousandths(md.low_price);
    updatebuf.OpenPrice = FromThousandths(md.open_price);
    updatebuf.ClosePrice = FromThousandths(md.close_price);
    updatebuf.UpperLimitPrice = FromThousandths(md.upper_limit_price);
    updatebuf.LowerLimitPrice = FromThousandths(md.lower_limit_price);
    updatebuf.SettlementPrice = FromThousandths(md.settlement_price);
    updatebuf.CurrDelta = FromThousandths(md.curr_delta);
    updatebuf.Trust_flag = md.trust_flag;
}
