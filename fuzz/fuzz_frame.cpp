// Frame receive through the simulated card. Byte 0: bit 0 selects the buffered path (else
// direct), bit 1 splits the rest into frames of [2-byte little-endian length][bytes] (else the
// rest is one frame), bit 2 marks the frames faulty. Each frame is put on port 0 and received
// with ExanicCffexDMA0.
#include <unistd.h>

#include "exanic_dma.h"
#include "fuzz_support.h"
#include "vorn_sim_card.h"

namespace {

constexpr int kMaxFrames = 16;

struct SimulatedCard {
    std::string name = "vfz" + std::to_string(getpid());
    vorn_sim_card_t* card = nullptr;
    exanic_t* handle = nullptr; // held for the process, as the connector holds its own

    SimulatedCard() {
        if (vorn_sim_create(name.c_str()) != 0) abort();
        card = vorn_sim_open(name.c_str());
        handle = exanic_acquire_handle(name.c_str());
        if (!card || !handle || Vorn_R10::CExanicDMA::GetInstance().exanic_dma0_init(handle) != 0) abort();
        // The device's shared memory stays mapped; its name is not needed after this.
        vorn_sim_remove(name.c_str());
    }
};

void Receive(vorn_sim_card_t* card, CVornCffexMdApiImpl& impl, const uint8_t* frame, size_t len, unsigned flags) {
    if (vorn_sim_put_frame(card, 0, frame, len, VORN_SIM_WAIT, flags) != 0) return;
    impl.ExanicCffexDMA0();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static vorn_fuzz::LoadedConnector* connector = new vorn_fuzz::LoadedConnector(3);
    static SimulatedCard* card = new SimulatedCard();
    if (size < 1) return 0;
    connector->Reset();
    CVornCffexMdApiImpl& impl = connector->Impl();
    impl.m_r10ConfigInfo.exanic_cache_flag = (data[0] & 1) ? 1 : 0;
    const unsigned flags = (data[0] & 4) ? VORN_SIM_FRAME_FAULTY : 0;
    const uint8_t* rest = data + 1;
    size_t left = size - 1;
    if (!(data[0] & 2)) return Receive(card->card, impl, rest, left, flags), 0;
    for (int i = 0; i < kMaxFrames && left >= 2; ++i) {
        size_t len = static_cast<size_t>(rest[0]) | static_cast<size_t>(rest[1]) << 8;
        rest += 2;
        left -= 2;
        if (len > left) len = left;
        Receive(card->card, impl, rest, len, flags);
        rest += len;
        left -= len;
    }
    return 0;
}
