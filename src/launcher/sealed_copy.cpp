#include "launcher/sealed_copy.h"

// Before the system's headers, whose global `byte` the decoder's parameters would shadow.
#include "decode/decoder.h"

#include <windows.h>

#include "common/platform.h"
#include "common/sha256.h"
#include "package/bundle_format.h"
#include "package/extract.h"

namespace {

// The hash of the copy under way, by the processor's instructions or by the system's provider;
// CopyBlob's observer takes no context.
int g_accelerated;
Sha256State g_ownHash;
HCRYPTHASH g_hash;
int g_hashFailed;
// The splash's decoder, its own: it runs before the package's.
Decoder g_bitmapDecoder;

void HashCopied(const unsigned char* bytes, size_t count) {
  if (g_accelerated)
    Sha256Update(&g_ownHash, bytes, count);
  else if (!CryptHashData(g_hash, bytes, static_cast<DWORD>(count), 0))
    g_hashFailed = 1;
}

// Copies (or, without a target, reads) the range while hashing it into `digest`; 0 on failure.
int CopyHashed(const char* targetPath, FILE* source, uint32_t position, uint32_t size,
               unsigned char* digest) {
  g_hashFailed = 0;
  g_accelerated = Sha256Accelerated();
  if (g_accelerated) {
    Sha256Init(&g_ownHash);
    if (size != 0 && !CopyBlob(targetPath, source, position, size, HashCopied)) return 0;
    Sha256Final(&g_ownHash, digest);
    return 1;
  }
  int ok = 0;
  HCRYPTPROV provider;
  if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
    return 0;
  if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &g_hash)) {
    DWORD length = SHA256_BYTES;
    ok = (size == 0 || CopyBlob(targetPath, source, position, size, HashCopied)) && !g_hashFailed &&
         CryptGetHashParam(g_hash, HP_HASHVAL, digest, &length, 0) && length == SHA256_BYTES;
    CryptDestroyHash(g_hash);
  }
  CryptReleaseContext(provider, 0);
  return ok;
}

}  // namespace

SealedCopy CopySealed(const char* targetPath, FILE* source, uint32_t position, uint32_t size,
                      const volatile unsigned char* sealed) {
  unsigned char digest[SHA256_BYTES];
  if (!CopyHashed(targetPath, source, position, size, digest)) return COPY_FAILED;
  SealedCopy result = COPY_MATCHES;
  for (int i = 0; i < SHA256_BYTES; ++i)
    if (digest[i] != sealed[i]) result = COPY_DIFFERS;
  return result;
}

int DecodeSealed(const char* targetPath, FILE* source, uint32_t position, uint32_t size) {
  // The stored bytes were hashed; reading on past them (into the trailer) cannot change what a
  // stream that ends where the packer ended it decodes to.
  if (size < 4 || fseek(source, static_cast<long>(position), SEEK_SET) != 0) return 0;
  FILE* target = OpenNewFile(targetPath, nullptr);
  return target != nullptr && DecodeFileStreams(g_bitmapDecoder, source, target) == DECOMPRESS_OK;
}
