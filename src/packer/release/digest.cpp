#include "packer/release/digest.h"

#include <gcrypt.h>

#include "packer/failure.h"

namespace packer {

namespace {

// The library wants to be told once that the program is done setting it up; hashing needs no
// secure memory, so nothing else is asked of it.
void InitializeLibrary() {
  static const bool initialized = [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr)
      throw Failure(std::string("the cryptographic library is older than ") + GCRYPT_VERSION);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)initialized;
}

}  // namespace

Sha256Digest Sha256(const uint8_t* data, size_t size) {
  InitializeLibrary();
  Sha256Digest digest;
  gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), data, size);
  return digest;
}

std::string HexDigest(const Sha256Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

}  // namespace packer
