#include "launcher/sealed_copy.h"

#include <windows.h>

#include "package/bundle_format.h"
#include "package/extract.h"

namespace {

// The hash of the copy under way; CopyBlob's observer takes no context.
HCRYPTHASH g_hash;
int g_hashFailed;

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
