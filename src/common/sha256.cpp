#include "common/sha256.h"

#include <string.h>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define SHA256_X86 1
#endif

#ifdef SHA256_X86

namespace {

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The compression of `blocks` 64-byte blocks. The instructions keep the eight words as ABEF and
// CDGH; each step does four rounds, and the message words are scheduled four at a time. A 32-bit
// Windows thread's stack is aligned to 4 bytes only, and the launcher has no C runtime start-up
// to align it: the function aligns its own for the vectors it spills.
__attribute__((target("sha,sse4.1"), force_align_arg_pointer)) void Compress(
    uint32_t state[8], const unsigned char* data, size_t blocks) {
  const __m128i byteOrder = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abefBefore = abef, cdghBefore = cdgh;
    __m128i words[4];
    for (int step = 0; step < 16; ++step) {
      __m128i current;
      if (step < 4) {
        current = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * step)), byteOrder);
      } else {
        const __m128i last = words[(step - 1) & 3];
        current = _mm_sha256msg1_epu32(words[step & 3], words[(step - 3) & 3]);
        current = _mm_add_epi32(current, _mm_alignr_epi8(last, words[(step - 2) & 3], 4));
        current = _mm_sha256msg2_epu32(current, last);
      }
      words[step & 3] = current;
      __m128i sum = _mm_add_epi32(
          current, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * step])));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, sum);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(sum, 0x0E));
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace

int Sha256Accelerated(void) {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSE4_1) || !(c & bit_SSSE3)) return 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return 0;
  return (b & (1u << 29)) != 0;
}

void Sha256Init(Sha256State* hash) {
  static const uint32_t kStart[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(hash->state, kStart, sizeof kStart);
  hash->used = 0;
  hash->length = 0;
}

void Sha256Update(Sha256State* hash, const unsigned char* bytes, size_t count) {
  hash->length += count;
  if (hash->used > 0) {
    size_t take = 64 - hash->used < count ? 64 - hash->used : count;
    memcpy(hash->block + hash->used, bytes, take);
    hash->used += static_cast<uint32_t>(take);
    bytes += take;
    count -= take;
    if (hash->used < 64) return;
    Compress(hash->state, hash->block, 1);
    hash->used = 0;
  }
  Compress(hash->state, bytes, count / 64);
  memcpy(hash->block, bytes + count / 64 * 64, count % 64);
  hash->used = static_cast<uint32_t>(count % 64);
}

void Sha256Final(Sha256State* hash, unsigned char digest[32]) {
  uint64_t bits = hash->length * 8;
  unsigned char pad[72] = {0x80};
  // The message, a one bit, zeros, and its length in bits: a whole number of blocks.
  size_t padding = (hash->used < 56 ? 56 : 120) - hash->used;
  for (int i = 0; i < 8; ++i) pad[padding + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  Sha256Update(hash, pad, padding + 8);
  for (int i = 0; i < 8; ++i)
    for (int k = 0; k < 4; ++k)
      digest[4 * i + k] = static_cast<unsigned char>(hash->state[i] >> (24 - 8 * k));
}

#else

int Sha256Accelerated(void) {
  return 0;
}
void Sha256Init(Sha256State*) {}
void Sha256Update(Sha256State*, const unsigned char*, size_t) {}
void Sha256Final(Sha256State*, unsigned char*) {}

#endif
