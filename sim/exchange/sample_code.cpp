#include "sample_code.h"

#include <cstring>

extern "C" {
extern const uint8_t vorn_sim_known_segments[];
extern const uint8_t vorn_sim_cipher_code[];
extern const uint8_t vorn_sim_cipher_code_end[];
}

namespace vorn_sim {
namespace {

uint8_t RotateLeft(uint8_t x, unsigned n) { return static_cast<uint8_t>((x << n) | (x >> (8 - n))); }
uint8_t RotateRight(uint8_t x, unsigned n) { return static_cast<uint8_t>((x >> n) | (x << (8 - n))); }

uint8_t CipherPad(const char* arg1, size_t i) {
    return static_cast<uint8_t>(static_cast<uint8_t>(arg1[i % 16]) + 7 * i);
}

uint8_t KnownPad1(size_t i) { return static_cast<uint8_t>(13 * i); }

constexpr uint8_t kKnown2Mask = 0x5C;

const char kDemoText[100] = "CFFEX level-2 demo data: IF2612 4012.4 x 7 / 4012.6 x 3";

encrypt_code_segment_field MakeRecord(const uint8_t* code, size_t code_len, uint8_t keyArg0) {
    encrypt_code_segment_field rec{};
    memcpy(rec.compiled_code, code, code_len);
    rec.code_len = static_cast<int32_t>(code_len);
    rec.check_code = CodeChecksum(code, code_len);
    FillKeyArgument(rec.arg1, keyArg0);
    memcpy(rec.demo_data, kDemoText, sizeof rec.demo_data);
    return rec;
}

// Length of a known segment's routine: its image without the zero padding.
size_t TrimmedLength(const uint8_t* image) {
    size_t len = kSegmentSize;
    while (len > 0 && image[len - 1] == 0) --len;
    return len;
}

} // namespace

const uint8_t* SampleKnownSegment(int k) {
    if (k < 0 || k >= kKnownSegmentCount) return nullptr;
    return vorn_sim_known_segments + static_cast<size_t>(k) * kSegmentSize;
}

const uint8_t* SampleKnownSegments() { return vorn_sim_known_segments; }

const uint8_t* SampleCipherCode() { return vorn_sim_cipher_code; }

size_t SampleCipherCodeLength() { return static_cast<size_t>(vorn_sim_cipher_code_end - vorn_sim_cipher_code); }

int32_t CodeChecksum(const uint8_t* code, size_t code_len) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < code_len; ++i) {
        h ^= code[i];
        h *= 16777619u;
    }
    int32_t out;
    memcpy(&out, &h, sizeof out);
    return out;
}

void FillKeyArgument(char (&arg1)[100], uint8_t keyArg0) {
    arg1[0] = static_cast<char>(keyArg0);
    for (size_t i = 1; i < sizeof arg1; ++i)
        arg1[i] = static_cast<char>(static_cast<uint8_t>(keyArg0 * 31u + i * 17u + 3u));
}

encrypt_code_segment_field SampleCipherSegment(uint8_t keyArg0) {
    encrypt_code_segment_field rec = MakeRecord(SampleCipherCode(), SampleCipherCodeLength(), keyArg0);
    EncryptFieldData(reinterpret_cast<uint8_t*>(rec.demo_data), sizeof rec.demo_data, rec.arg1);
    return rec;
}

encrypt_code_segment_field KnownSegmentRecord(int k, uint8_t keyArg0) {
    const uint8_t* image = SampleKnownSegment(k);
    if (!image) return encrypt_code_segment_field{};
    encrypt_code_segment_field rec = MakeRecord(image, TrimmedLength(image), keyArg0);
    KnownSegmentEncrypt(k, reinterpret_cast<uint8_t*>(rec.demo_data), sizeof rec.demo_data, keyArg0);
    return rec;
}

const char* DemoPlainText() { return kDemoText; }

void EncryptFieldData(uint8_t* data, size_t len, const char* arg1) {
    for (size_t i = 0; i < len; ++i) data[i] = RotateRight(data[i] ^ CipherPad(arg1, i), 3);
}

void DecryptFieldData(uint8_t* data, size_t len, const char* arg1) {
    for (size_t i = 0; i < len; ++i) data[i] = RotateLeft(data[i], 3) ^ CipherPad(arg1, i);
}

void KnownSegmentDecrypt(int k, uint8_t* data, size_t len, uint8_t keyArg0) {
    for (size_t i = 0; i < len; ++i) {
        uint8_t& x = data[i];
        if (k == 0)
            x ^= static_cast<uint8_t>(keyArg0 + i);
        else if (k == 1)
            x = static_cast<uint8_t>((x ^ KnownPad1(i)) - keyArg0);
        else if (k == 2)
            x = RotateRight(x, 1) ^ keyArg0 ^ kKnown2Mask;
    }
}

void KnownSegmentEncrypt(int k, uint8_t* data, size_t len, uint8_t keyArg0) {
    for (size_t i = 0; i < len; ++i) {
        uint8_t& x = data[i];
        if (k == 0)
            x ^= static_cast<uint8_t>(keyArg0 + i);
        else if (k == 1)
            x = static_cast<uint8_t>(x + keyArg0) ^ KnownPad1(i);
        else if (k == 2)
            x = RotateLeft(x ^ keyArg0 ^ kKnown2Mask, 1);
    }
}

} // namespace vorn_sim
