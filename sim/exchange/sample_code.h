// Sample code segments of the simulated exchange: the three known segments (the default
// 1200-byte known-segments file) and a sample cipher that is not one of them, so a snapshot
// carrying it selects software decryption. All are real x86-64 routines of the form
// void f(uint8_t* data, int32_t len, char* arg) assembled from sample_code.S.
#pragma once

#include <cstddef>
#include <cstdint>

#include "FpgaStructCommon.h"

namespace vorn_sim {

constexpr size_t kSegmentSize = 400;
constexpr int kKnownSegmentCount = 3;

// The 400-byte image of known segment k (0..2); null for any other k.
const uint8_t* SampleKnownSegment(int k);
// The 1200 bytes of all three known segments, as in the known-segments file.
const uint8_t* SampleKnownSegments();

// Machine code of the sample cipher and its length (< 400); the code decrypts in place.
const uint8_t* SampleCipherCode();
size_t SampleCipherCodeLength();

// Checksum stored in check_code: FNV-1a over the code_len bytes of compiled_code.
int32_t CodeChecksum(const uint8_t* code, size_t code_len);

// The 100-byte arg1 block: arg1[0] = keyArg0, the rest key material derived from it.
void FillKeyArgument(char (&arg1)[100], uint8_t keyArg0);

// Code segment records. demo_data holds a fixed text encrypted for the record's routine, so
// running the routine over it yields DemoPlainText().
encrypt_code_segment_field SampleCipherSegment(uint8_t keyArg0 = 0x5A);
encrypt_code_segment_field KnownSegmentRecord(int k, uint8_t keyArg0 = 0x5A);
const char* DemoPlainText(); // exactly 100 bytes (zero padded)

// Inverse of the sample cipher: running the cipher routine with the same arg1 over the
// output recovers `data`.
void EncryptFieldData(uint8_t* data, size_t len, const char* arg1);
// C++ models of the sample cipher and the known segments (what the routines compute).
void DecryptFieldData(uint8_t* data, size_t len, const char* arg1);
void KnownSegmentDecrypt(int k, uint8_t* data, size_t len, uint8_t keyArg0);
// Inverse of known segment k: the routine run over the output with arg[0] = keyArg0
// recovers `data`.
void KnownSegmentEncrypt(int k, uint8_t* data, size_t len, uint8_t keyArg0);

} // namespace vorn_sim
