// Field decoding: byte 0 picks the descriptor, byte 1 the encrypted flag (bit 0) and the code
// segment (bits 1-2: sample cipher, known segment 0, code_len 0, code_len 1000); the rest is
// the field data. The data path's compile-time decoders must agree with the descriptors.
#include "df_udp.h"
#include "field_wire.h"
#include "fuzz_support.h"
#include "sample_code.h"

namespace {

FieldDescribe* const kDescriptors[] = {
    &g_vint_market_data_static_field_desc,    &g_vint_market_data_last_match_field_desc,
    &g_vint_market_data_best_field_desc,      &g_vint_market_data_bid23_field_desc,
    &g_vint_market_data_ask23_field_desc,     &g_vint_market_data_bid45_field_desc,
    &g_vint_market_data_ask45_field_desc,     &g_vint_market_data_update_time_field_desc,
    &g_vint_market_data_real_price_banding_field_desc,
};

encrypt_code_segment_field SegmentFor(unsigned choice) {
    if ((choice & 3) == 1) return vorn_sim::KnownSegmentRecord(0);
    encrypt_code_segment_field segment = vorn_sim::SampleCipherSegment();
    if ((choice & 3) == 2) segment.code_len = 0;
    if ((choice & 3) == 3) segment.code_len = 1000;
    return segment;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (vorn_fuzz::QuietProcess(), init_market_data(), true);
    (void)ready;
    if (size < 2) return 0;
    const FieldDescribe& descriptor = *kDescriptors[data[0] % 9];
    const bool encrypted = data[1] & 1;
    encrypt_code_segment_field segment = SegmentFor(data[1] >> 1);
    std::vector<u_char> field(data + 2, data + size);
    alignas(8) unsigned char out[64];
    memset(out, 0xA5, sizeof out);
    descriptor.init_from_stream(field.data(), field.size(), out, true, encrypted, segment.compiled_code,
                                segment.code_len, segment.arg1);
    // Nothing beyond the descriptor's structure may be written.
    for (size_t i = static_cast<size_t>(descriptor.struct_size_); i < sizeof out; ++i)
        if (out[i] != 0xA5) __builtin_trap();
    // The data path's compile-time decoder agrees on the bytes as decrypted; a field whose
    // segment cannot run decodes to zeros, never from its ciphertext.
    alignas(8) unsigned char fast[64] = {};
    const bool undecryptable = encrypted && (segment.code_len < 1 || segment.code_len > 400);
    if (!undecryptable)
        vorn_wire::DecodeWireByIndex(static_cast<uint16_t>(data[0] % 9), field.data(), field.size(), fast);
    if (memcmp(out, fast, static_cast<size_t>(descriptor.struct_size_)) != 0) __builtin_trap();
    return 0;
}
