// The instrument table of hardware mode: one row per snapshot instrument, prices in
// thousandths, written word by word through the FPGA's 85-register row window.
#include <cstring>

#include "VornCffexMdApiImpl.h"
#include "exanic_reg.h"
#include "price_convert.h"

using namespace Vorn_R10;
using vorn_price::Count;
using vorn_price::Thousandths;
using vorn_price::UnsignedCount;

int32_t CVornCffexMdApiImpl::_MarketToContract() {
    for (const auto& entry : m_depth_market_data_infos) {
        const int32_t key = entry.first;
        const depth_market_data_field& md = entry.second;
        if (key > 2048) {
            VORN_LOG(LOG_ERROR, "[%s:%d] [%s] contract inst_id is %d, error.", key);
            continue;
        }
        const auto price = m_ins_price_infos.find(key);
        if (price == m_ins_price_infos.end()) {
            VORN_LOG(LOG_ERROR, "[%s:%d] [%s] contract inst_id is %d, not found.", key);
            continue;
        }
        const ins_price_encode_info_field& encoding = price->second;
        SCffexInstTableType row;
        memset(&row, 0, sizeof row);
        row.config = SelectionOf(md);
        row.base_price = Thousandths(encoding.base_price);
        row.price_tick = Thousandths(encoding.price_tick);
        row.volume_multiple = encoding.volume_multiple;
        memcpy(row.trading_day, md.trading_day, sizeof row.trading_day);
        memcpy(row.settlement_group_id, md.settlement_group_id, sizeof row.settlement_group_id);
        row.settlement_id = md.settlement_id;
        row.pre_settlement_price = Thousandths(md.pre_settlement_price);
        row.pre_close_price = Thousandths(md.pre_close_price);
        row.pre_open_interest = UnsignedCount(md.pre_open_interest);
        row.pre_delta = Count(md.pre_delta);
        row.inst_id = static_cast<uint32_t>(key);
        row.update_time = static_cast<uint64_t>(set_update_time(md.update_time));
        row.update_msec = static_cast<uint32_t>(md.update_msec);
        row.open_price = Thousandths(md.open_price);
        row.high_price = Thousandths(md.high_price);
        row.low_price = Thousandths(md.low_price);
        row.close_price = Thousandths(md.close_price);
        row.upper_limit_price = Thousandths(md.upper_limit_price);
        row.lower_limit_price = Thousandths(md.lower_limit_price);
        row.settlement_price = Thousandths(md.settlement_price);
        row.curr_delta = Count(md.curr_delta);
        row.last_price = Thousandths(md.last_price);
        row.volume = static_cast<uint32_t>(md.volume);
        row.turn_over = md.turn_over >= EMPTY_PRICE ? 0.0 : md.turn_over;
        row.open_interest = Count(md.open_interest);
        row.bid1_price = Thousandths(md.bid1_price);
        row.bid1_volume = static_cast<uint32_t>(md.bid1_volume);
        row.ask1_price = Thousandths(md.ask1_price);
        row.ask1_volume = static_cast<uint32_t>(md.ask1_volume);
        row.bid2_price = Thousandths(md.bid2_price);
        row.bid2_volume = static_cast<uint32_t>(md.bid2_volume);
        row.bid3_price = Thousandths(md.bid3_price);
        row.bid3_volume = static_cast<uint32_t>(md.bid3_volume);
        row.ask2_price = Thousandths(md.ask2_price);
        row.ask2_volume = static_cast<uint32_t>(md.ask2_volume);
        row.ask3_price = Thousandths(md.ask3_price);
        row.ask3_volume = static_cast<uint32_t>(md.ask3_volume);
        row.bid4_price = Thousandths(md.bid4_price);
        row.bid4_volume = static_cast<uint32_t>(md.bid4_volume);
        row.bid5_price = Thousandths(md.bid5_price);
        row.bid5_volume = static_cast<uint32_t>(md.bid5_volume);
        row.ask4_price = Thousandths(md.ask4_price);
        row.ask4_volume = static_cast<uint32_t>(md.ask4_volume);
        row.ask5_price = Thousandths(md.ask5_price);
        row.ask5_volume = static_cast<uint32_t>(md.ask5_volume);
        if (md.instrument_id[0] != 0) memcpy(row.instrument_id, md.instrument_id, 29);
        row.table_done = 1;
        m_instTable.push_back(row);
    }
    return 0;
}

int32_t CVornCffexMdApiImpl::_WriteContractTable(std::vector<SCffexInstTableType>& refInstTable, int instMaxCount) {
    for (const SCffexInstTableType& row : refInstTable) {
        if (static_cast<int32_t>(row.inst_id) >= instMaxCount) continue;
        uint32_t words[INST_TABLE_WORDS];
        memcpy(words, &row, sizeof words);
        for (uint32_t w = 0; w < INST_TABLE_WORDS; ++w)
            CExanicReg::GetInstance().set_fpga_reg(INST_TABLE_BASE + w, words[w]);

        const SCffexInstTableType& r = row;
        VORN_LOG(LOG_DEBUG,
                 "[%s:%d] [%s] config:%x, base_price:%ld, price_tick:%ld,vol_multiple:%d,trading_day:%.8s,"
                 "settlement_group_id:%.8s,settlement_id:%d,pre_settlement_price:%ld,pre_close_price:%ld,"
                 "pre_open_interest:%lu,pre_delta:%ld, inst_id:%u,update_time:%ld,update_msec:%u,open_price :%ld,"
                 "high_price:%ld,low_price:%ld,close_price:%ld,upper_limit_price:%ld,lower_limit_price:%ld,"
                 "settlement_price:%ld,curr_delta:%ld, last_price:%ld, volume:%u,turn_over:%lf, open_interest:%ld,"
                 "bid1_price:%ld,bid1_volume:%u,ask1_price:%ld,ask1_volume:%u,bid2_price:%ld,bid2_volume:%u,"
                 "ask2_price:%ld,ask2_volume:%u,bid3_price:%ld,bid3_volume:%u,ask3_price:%ld,ask3_volume:%u,"
                 "bid4_price:%ld,bid4_volume:%u,ask4_price:%ld,ask4_volume:%u,bid5_price:%ld,bid5_volume:%u,"
                 "ask5_price:%ld,ask5_volume:%u,instrument_id:%s,table_done:%u.",
                 r.config, (long)r.base_price, (long)r.price_tick, r.volume_multiple, r.trading_day,
                 r.settlement_group_id, r.settlement_id, (long)r.pre_settlement_price, (long)r.pre_close_price,
                 (unsigned long)r.pre_open_interest, (long)r.pre_delta, r.inst_id, (long)r.update_time, r.update_msec,
                 (long)r.open_price, (long)r.high_price, (long)r.low_price, (long)r.close_price,
                 (long)r.upper_limit_price, (long)r.lower_limit_price, (long)r.settlement_price, (long)r.curr_delta,
                 (long)r.last_price, r.volume, r.turn_over, (long)r.open_interest, (long)r.bid1_price, r.bid1_volume,
                 (long)r.ask1_price, r.ask1_volume, (long)r.bid2_price, r.bid2_volume, (long)r.ask2_price,
                 r.ask2_volume, (long)r.bid3_price, r.bid3_volume, (long)r.ask3_price, r.ask3_volume,
                 (long)r.bid4_price, r.bid4_volume, (long)r.ask4_price, r.ask4_volume, (long)r.bid5_price,
                 r.bid5_volume, (long)r.ask5_price, r.ask5_volume, r.instrument_id, r.table_done);
    }
    return 0;
}
