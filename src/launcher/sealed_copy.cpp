#include "launcher/sealed_copy.h"

// Before the system's headers, whose global `byte` the decoder's parameters would shadow.
#include "decode/decoder.h"

#include <windows.h>

#include "common/platform.h"
#include "package/bundle_format.h"
#include "package/extract.h"

namespace {

// The hash of the copy under way; CopyBlob's observer takes no context.
HCRYPTHASH g_hash;
int g_hashFailed;
// The splash's decoder, its own: it runs before the package's.
Decoder g_bitmapDecoder;

void HashCopied(const unsigned char* bytes, size_t count) {
  if (!CryptHashData(g_hash, bytes, static_cast<DWORD>(count), 0)) g_hashFailed = 1;
}

}  // namespace

SealedCopy CopySealed(const char* targetPath, FILE* source, uint32_t position, uint32_t size,
                      const volatile unsigned char* sealed) {
  SealedCopy result = COPY_FAILED;
  HCRYPTPROV provider;
  if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
    return result;
  if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &g_hash)) {
    g_hashFailed = 0;
    unsigned char digest[SHA256_BYTES];
    DWORD length = sizeof digest;
    if ((size == 0 || CopyBlob(targetPath, source, position, size, HashCopied)) && !g_hashFailed &&
        CryptGetHashParam(g_hash, HP_HASHVAL, digest, &length, 0) && length == sizeof digest) {
      result = COPY_MATCHES;
      for (int i = 0; i < SHA256_BYTES; ++i)
        if (digest[i] != sealed[i]) result = COPY_DIFFERS;
    }
    CryptDestroyHash(g_hash);
  }
  CryptReleaseContext(provider, 0);
  return result;
}

int DecodeSealed(const char* targetPath, FILE* source, uint32_t position, uint32_t size) {
  FILE* target = OpenNewFile(targetPath, nullptr);
  if (target == nullptr) return 0;
  Decoder& decoder = g_bitmapDecoder;
  ByteSource input;
  ByteSink output;
  uint32_t expected;
  // The stored bytes were hashed; reading on past them (into the trailer) cannot change what a
  // stream that ends where the packer ended it decodes to.
  int ok = fseek(source, static_cast<long>(position), SEEK_SET) == 0;
  if (ok) {
    InitFileSource(&input, source, decoder.inputBuffer, sizeof decoder.inputBuffer);
    InitSink(&output, decoder.outputBuffer, sizeof decoder.outputBuffer, WriteToFile, target);
    ok = size >= 4 && DecodeBlob(decoder, &input, &output, &expected) == DECODE_OK &&
         decoder.produced == expected && !ferror(source);
  }
  if (fclose(target) != 0) ok = 0;
  return ok;
}
