// make_bundle STUB OUT FLAGS PACKAGE_SHA256 BITMAP_SHA256 PACKAGE_SIZE BITMAP_SIZE [PACKAGE
// BITMAP]: writes OUT, a copy of the launcher stub STUB whose seal carries FLAGS, the two hashes
// (hex, as sha256sum prints them, so that they come from outside the launcher's own provider) and
// the two sizes; with PACKAGE and BITMAP, also the single file's region behind the stub, whose
// trailer gives their real sizes, whatever the seal says. Built on the shared conventions from the
// writing side, it refuses a stub they do not hold for: data after the sections, a seal that is
// missing or not unique. A test fixture until the packer bundles releases itself.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/platform.h"
#include "package/bundle_format.h"
#include "support/scratch.h"

namespace {

int Refuse(const char* why) {
  fprintf(stderr, "make_bundle: %s\n", why);
  return 1;
}

bool ParseHash(const std::string& hex, unsigned char* out) {
  if (hex.size() != 2 * SHA256_BYTES) return false;
  for (int i = 0; i < SHA256_BYTES; ++i) {
    char* end;
    std::string pair = hex.substr(2 * i, 2);
    out[i] = static_cast<unsigned char>(strtoul(pair.c_str(), &end, 16));
    if (*end != '\0') return false;
  }
  return true;
}

bool Read(const char* native, std::string* contents) {
  char path[PATH_BUFFER];
  return ToPortablePath(native, path, MAX_PATH) && ReadWholeFile(path, contents);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8 && argc != 10) {
    fprintf(stderr,
            "usage: make_bundle STUB OUT FLAGS PACKAGE_SHA256 BITMAP_SHA256 PACKAGE_SIZE "
            "BITMAP_SIZE [PACKAGE BITMAP]\n");
    return 2;
  }
  std::string stub, package, bitmap;
  if (!Read(argv[1], &stub)) return Refuse("cannot read the stub");
  if (argc == 10 && (!Read(argv[8], &package) || !Read(argv[9], &bitmap)))
    return Refuse("cannot read the package or the bitmap");
  std::vector<uint8_t> out(stub.begin(), stub.end());

  PeLayout layout;
  if (!ReadPeLayout(out.data(), out.size(), out.size(), &layout))
    return Refuse("the stub is no PE image this convention knows");
  PeLayout read;
  if (!ReadPeLayout(out.data(), std::min<size_t>(out.size(), STUB_HEADER_BYTES), out.size(),
                    &read) ||
      read.sectionsEnd != layout.sectionsEnd)
    return Refuse("the stub's section table ends past what the launcher reads of itself");
  if (layout.sectionsEnd != out.size() || layout.regionEnd != out.size())
    return Refuse("the stub has data after its sections or is signed already");
  long seal = FindSealRecord(out.data(), layout.sectionsEnd);
  if (seal < 0) return Refuse("no seal, or its magic is not unique in the stub");

  uint32_t flags = static_cast<uint32_t>(strtoul(argv[3], nullptr, 0));
  for (int byte = 0; byte < 4; ++byte)
    out[seal + SEAL_FLAGS_OFFSET + byte] = static_cast<uint8_t>(flags >> (8 * byte));
  if (!ParseHash(argv[4], &out[seal + SEAL_PACKAGE_HASH_OFFSET]) ||
      !ParseHash(argv[5], &out[seal + SEAL_BITMAP_HASH_OFFSET]))
    return Refuse("a hash is not 64 hexadecimal digits");
  const int sizes[2] = {SEAL_PACKAGE_SIZE_OFFSET, SEAL_BITMAP_SIZE_OFFSET};
  for (int i = 0; i < 2; ++i) {
    uint32_t size = static_cast<uint32_t>(strtoul(argv[6 + i], nullptr, 0));
    for (int byte = 0; byte < 4; ++byte)
      out[seal + sizes[i] + byte] = static_cast<uint8_t>(size >> (8 * byte));
  }

  if (argc == 10) {
    BundleTrailer trailer = {0, static_cast<uint32_t>(package.size()),
                             static_cast<uint32_t>(package.size()),
                             static_cast<uint32_t>(bitmap.size())};
    out.insert(out.end(), package.begin(), package.end());
    out.insert(out.end(), bitmap.begin(), bitmap.end());
    out.resize(out.size() + TrailerPadding(static_cast<uint32_t>(package.size() + bitmap.size())));
    unsigned char tail[TRAILER_BYTES];
    WriteBundleTrailer(trailer, tail);
    out.insert(out.end(), tail, tail + TRAILER_BYTES);
  }
  char path[PATH_BUFFER];
  if (!ToPortablePath(argv[2], path, MAX_PATH) || !WriteWholeFile(path, out))
    return Refuse("cannot write the output");
  return 0;
}
