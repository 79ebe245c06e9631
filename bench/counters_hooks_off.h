// The connector's counters with the receive-thread hooks compiled out, for a benchmark build
// only (VORN_COUNTERS_HOOKS_OFF): the same path measured with and without them. Start-up calls
// stay; the delivery's test of the kept instrument entry's generation stays too.
#pragma once

#include "counters_writer.h"

class CCountersHooksOff : public Vorn_R10::CCountersWriter {
public:
    void Idle() {}
    void FrameBegin() {}
    bool Sampling() const { return false; }
    void FrameEnd(int64_t = 0) {}
    void FrameReceived() {}
    void FrameOfFeed() {}
    void FrameDropped(Vorn_R10::EFrameDrop) {}
    void ReceiveError(Vorn_R10::EReceiveError) {}
    void PacketParsed() {}
    void PacketStale() {}
    void GapDetected() {}
    void GapFilled() {}
    void GapGivenUp() {}
    void GapSkipped() {}
    void ReorderDepth(uint64_t) {}
    void UnknownField() {}
    void FieldUndecryptable() {}
    void ParseError() {}
    void HardwareRecord() {}
    void HardwareLossEvent() {}
    void KernelDrops(uint64_t) {}
    void Delivered(int64_t, uint64_t, int64_t, bool, bool) {}
    void DeliveredTo(Vorn_R10::SInstrumentCounters*, uint64_t, int64_t, bool, bool) {}
};
