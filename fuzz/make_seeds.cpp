// make_fuzz_seeds OUT_DIR: writes the harnesses' seed corpora into OUT_DIR/<harness>/, made with
// the test support's own writers: valid blobs from the plain model, a few damaged ones, valid,
// damaged and hostile packages, and sealed stubs and single files. Deterministic, so rerunning
// it rewrites the same files.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/platform.h"
#include "package/bundle_format.h"
#include "support/bit_writer.h"
#include "support/package_builder.h"
#include "support/reference_codec.h"
#include "support/scratch.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct Seeds {
  std::string dir;
  int written = 0;
  int failed = 0;
  void Add(const std::string& name, const Bytes& bytes) {
    if (WriteWholeFile(dir + "\\" + name, bytes))
      ++written;
    else
      ++failed;
  }
};

Bytes Generated(unsigned seed, size_t size, int alphabet, double literals) {
  std::mt19937 random(seed);
  std::string decoded;
  return GenerateStream(&random, size, alphabet, literals, &decoded);
}

// Keeps the stream as it is but claims another decoded size.
Bytes WithSize(Bytes blob, uint32_t size) {
  for (int i = 0; i < 4; ++i) blob[i] = static_cast<uint8_t>(size >> (8 * i));
  return blob;
}

void BlobSeeds(Seeds* seeds) {
  seeds->Add("empty", {});
  seeds->Add("size-only", {0, 0, 0, 0});
  seeds->Add("short", {5, 0});
  seeds->Add("abc", {0x03, 0, 0, 0, 0x30, 0x98, 0x8C, 0x60});
  seeds->Add("abab", {0x04, 0, 0, 0, 0x30, 0x98, 0xA0});
  seeds->Add("abababab", {0x08, 0, 0, 0, 0x30, 0x98, 0xA9, 0x00});
  seeds->Add("literals", LiteralBlob("plain literals, every byte on its own"));
  seeds->Add("repeats-2", Generated(1, 3000, 2, 0.05));
  seeds->Add("repeats-4", Generated(2, 1500, 4, 0.2));
  seeds->Add("text-40", Generated(3, 600, 40, 0.4));
  seeds->Add("bytes-256", Generated(4, 300, 256, 0.6));
  // Long enough to fill the dictionary and recycle it, so the width reaches 12.
  seeds->Add("recycling", Generated(5, 60000, 3, 0.02));
  Bytes cut = Generated(6, 800, 8, 0.3);
  cut.resize(cut.size() / 2);
  seeds->Add("truncated", cut);
  seeds->Add("size-beyond-stream", WithSize(Generated(7, 200, 16, 0.3), 5000));
  seeds->Add("size-smaller", WithSize(Generated(8, 400, 16, 0.3), 17));
  BitWriter early;
  early.Reference(0, 1);
  seeds->Add("reference-first", MakeBlob(1, early.bytes()));
  BitWriter ahead;
  ahead.Literal('a');
  ahead.Literal('b');
  ahead.Reference(1, 1);
  seeds->Add("reference-ahead", MakeBlob(4, ahead.bytes()));
}

void PackageSeeds(Seeds* seeds) {
  seeds->Add("empty", PackageTablesBytes({}, {}));
  seeds->Add("negative-counts", {0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF});
  Bytes tree = BuildPackage({"\\bin", "\\bin\\lib", "\\empty", "\\data"},
                            {{"\\Installer.exe", LiteralBlob("MZ installer")},
                             {"\\bin\\lib\\a.dat", Generated(10, 400, 4, 0.2)},
                             {"\\data\\zero", {}},
                             {"\\data\\text.txt", Generated(11, 300, 40, 0.4)}});
  seeds->Add("tree", tree);
  Bytes cut = tree;
  cut.resize(cut.size() - 20);
  seeds->Add("tree-cut-blob", cut);
  Bytes tables = PackageTablesBytes({{"\\d", 0, 0}}, {{"\\d\\f", 0, 12}});
  tables.resize(tables.size() - 3);
  seeds->Add("tables-cut", tables);
  seeds->Add("no-directory",
             BuildPackage({}, {{"\\nodir\\f", LiteralBlob("x")}, {"\\ok", LiteralBlob("y")}}));
  seeds->Add("duplicates", BuildPackage({"\\d", "\\d"}, {{"\\d\\f", LiteralBlob("first")},
                                                         {"\\d\\f", LiteralBlob("second")}}));
  seeds->Add("file-and-directory",
             BuildPackage({"\\same"}, {{"\\same", LiteralBlob("x")}, {"\\other", {}}}));
  seeds->Add("corrupt-blob",
             BuildPackage({}, {{"\\bad", MakeBlob(10, {0x30})}, {"\\good", LiteralBlob("ok")}}));
  Bytes blob = LiteralBlob("shared");
  uint32_t size = static_cast<uint32_t>(blob.size());
  Bytes overlap = PackageTablesBytes({}, {{"\\a", 0, size}, {"\\b", 2, size - 2}});
  overlap.insert(overlap.end(), blob.begin(), blob.end());
  seeds->Add("overlapping", overlap);
  Bytes beyond = PackageTablesBytes({}, {{"\\f", 0xFFFFFFF0u, size}});
  beyond.insert(beyond.end(), blob.begin(), blob.end());
  seeds->Add("blob-beyond-end", beyond);
  const char* const hostile[] = {"\\..\\escape", "\\a\\..\\..\\up", "escape", "\\CON",
                                 "\\trail.",     "\\a/b",           "\\"};
  int n = 0;
  for (const char* name : hostile) {
    seeds->Add("hostile-file-" + std::to_string(n), BuildPackage({}, {{name, LiteralBlob("x")}}));
    seeds->Add("hostile-directory-" + std::to_string(n++), BuildPackage({name}, {}));
  }
  seeds->Add("long-name", BuildPackage({}, {{"\\" + std::string(300, 'n'), LiteralBlob("x")}}));
}

void Put32(Bytes* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A stub as the release conventions see it: PE headers (PE32, or PE32+ when `wide`), two
// sections of 0x200 bytes behind them, the seal's record in the second.
Bytes StubImage(bool wide) {
  Bytes image(0x600, 0);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(&image, 0x3C, 0x40);
  memcpy(&image[0x40], "PE\0\0", 4);
  const size_t optional = 0x58, optionalSize = wide ? 240 : 224;
  image[0x46] = 2;
  image[0x54] = static_cast<uint8_t>(optionalSize);
  Put32(&image, optional, wide ? 0x20B : 0x10B);
  Put32(&image, optional + (wide ? 108 : 92), 16);
  const size_t table = optional + optionalSize;
  for (uint32_t i = 0; i < 2; ++i) {
    Put32(&image, table + 40 * i + 16, 0x200);
    Put32(&image, table + 40 * i + 20, 0x200 * (i + 1));
  }
  memcpy(&image[0x400], &UNSEALED_RECORD, sizeof UNSEALED_RECORD);
  return image;
}

// The stub followed by a single file's region: package, bitmap, padding, trailer.
Bytes SingleFile(bool wide, const Bytes& package, const Bytes& bitmap) {
  Bytes image = StubImage(wide);
  image.insert(image.end(), package.begin(), package.end());
  image.insert(image.end(), bitmap.begin(), bitmap.end());
  uint32_t content = static_cast<uint32_t>(package.size() + bitmap.size());
  image.resize(image.size() + TrailerPadding(content) + TRAILER_BYTES);
  BundleTrailer trailer = {0, static_cast<uint32_t>(package.size()),
                           static_cast<uint32_t>(package.size()),
                           static_cast<uint32_t>(bitmap.size())};
  WriteBundleTrailer(trailer, &image[image.size() - TRAILER_BYTES]);
  return image;
}

void BundleSeeds(Seeds* seeds) {
  Bytes package = BuildPackage({}, {{"\\Installer.exe", LiteralBlob("MZ installer")}});
  Bytes bitmap(70, 0x42);
  seeds->Add("stub", StubImage(false));
  seeds->Add("stub-pe32plus", StubImage(true));
  Bytes single = SingleFile(false, package, bitmap);
  seeds->Add("single", single);
  seeds->Add("single-pe32plus", SingleFile(true, package, bitmap));
  seeds->Add("single-no-bitmap", SingleFile(false, package, {}));
  // Signed: a certificate table behind the region, named by the security directory.
  Bytes signedFile = single;
  Put32(&signedFile, 0x58 + 96 + 32, static_cast<uint32_t>(signedFile.size()));
  Put32(&signedFile, 0x58 + 96 + 36, 64);
  signedFile.resize(signedFile.size() + 64, 0x30);
  seeds->Add("signed", signedFile);
  Bytes cut = single;
  cut.pop_back();
  seeds->Add("single-cut", cut);
}

bool MakeSeedDir(const std::string& dir) {
  return MakeDirectory(dir.c_str()) != MAKEDIR_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
  char out[PATH_BUFFER];
  if (argc != 2 || !ToPortablePath(argv[1], out, MAX_PATH)) {
    fprintf(stderr, "usage: make_fuzz_seeds OUT_DIR\n");
    return 2;
  }
  Seeds blobs, packages, bundles;
  blobs.dir = std::string(out) + "\\decode_fuzzer";
  packages.dir = std::string(out) + "\\package_fuzzer";
  bundles.dir = std::string(out) + "\\bundle_fuzzer";
  if (!MakeSeedDir(out) || !MakeSeedDir(blobs.dir) || !MakeSeedDir(packages.dir) ||
      !MakeSeedDir(bundles.dir)) {
    fprintf(stderr, "make_fuzz_seeds: cannot create the seed directories in %s\n", argv[1]);
    return 1;
  }
  BlobSeeds(&blobs);
  PackageSeeds(&packages);
  BundleSeeds(&bundles);
  printf("%d blob seeds, %d package seeds, %d release seeds\n", blobs.written, packages.written,
         bundles.written);
  return blobs.failed + packages.failed + bundles.failed == 0 ? 0 : 1;
}
