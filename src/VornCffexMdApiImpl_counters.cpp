// Live counters: the shared-memory file and the selected instruments' entries.
#include <algorithm>
#include <cstring>

#include "VornCffexMdApiImpl.h"
#include "counters_files.h"

using namespace Vorn_R10;

void CVornCffexMdApiImpl::StartCounters() {
    const R10CffexConfigInfo& config = m_r10ConfigInfo;
    std::string name = ProgramCountersName();
    if (!config.counters_name.empty()) {
        if (IsValidCountersName(config.counters_name))
            name = config.counters_name;
        else
            VORN_LOG(LOG_WARNING,
                     "[%s:%d] [%s] counters_name '%s' is not a file name part (1 to %zu letters, digits, '_', '-', "
                     "'.', not first), '%s' is used.",
                     config.counters_name.c_str(), kCountersNameMax, name.c_str());
    }
    std::string error, warning;
    const bool created = m_counters.Create(config.counters_path, name, config.device, error, warning);
    if (!warning.empty()) VORN_LOG(LOG_WARNING, "[%s:%d] [%s] %s.", warning.c_str());
    if (created)
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] counters file is %s.", m_counters.Path().c_str());
    else
        VORN_LOG(LOG_WARNING, "[%s:%d] [%s] counters file not created, %s.", error.c_str());
    m_counters.StartupStep(STARTUP_CONFIG_READ);
    m_counters.SetLatencySampling(config.latency_sample);
}

// Every instrument of the snapshot that the configuration selects, in code order.
void CVornCffexMdApiImpl::CountSelectedInstruments() {
    m_counters.SetWorkMode(static_cast<uint64_t>(m_iWorkMode));
    std::vector<SInstrumentName> selected;
    for (const auto& entry : m_depth_market_data_infos) {
        const depth_market_data_field& record = entry.second;
        if (SelectionOf(record) == 0) continue;
        const size_t length = strnlen(record.instrument_id, sizeof record.instrument_id);
        selected.push_back(SInstrumentName{std::string(record.instrument_id, length), entry.first});
    }
    std::sort(selected.begin(), selected.end(),
              [](const SInstrumentName& a, const SInstrumentName& b) { return a.instrument_id < b.instrument_id; });
    std::string error;
    if (!m_counters.SetInstruments(selected, error))
        VORN_LOG(LOG_WARNING, "[%s:%d] [%s] counters of instruments not kept, %s.", error.c_str());
}
