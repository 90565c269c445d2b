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
#include "support/test_stub.h"

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

// The test stub as PE32+: the optional header's 32-bit fields widened where PE32+ widens them
// (image base, stack and heap sizes), the section table moved behind it. Without relocations,
// which would name 4-byte pointers.
Bytes WideStub() {
  TestStubShape shape;
  shape.relocations = false;
  Bytes narrow = MakeTestStub(shape);
  Bytes wide = narrow;
  const size_t optional = 0x80 + 24;
  auto get32 = [&](size_t at) {
    return static_cast<uint32_t>(narrow[at] | narrow[at + 1] << 8 | narrow[at + 2] << 16 |
                                 narrow[at + 3] << 24);
  };
  std::fill(wide.begin() + static_cast<long>(optional), wide.begin() + 0x400, 0);
  std::copy(narrow.begin() + static_cast<long>(optional),
            narrow.begin() + static_cast<long>(optional) + 24,
            wide.begin() + static_cast<long>(optional));
  Put32(&wide, optional, 0x20B);
  Put32(&wide, optional + 24, get32(optional + 28));  // the image base's low half
  std::copy(narrow.begin() + static_cast<long>(optional) + 32,
            narrow.begin() + static_cast<long>(optional) + 72,
            wide.begin() + static_cast<long>(optional) + 32);
  for (int i = 0; i < 4; ++i) Put32(&wide, optional + 72 + 8 * i, get32(optional + 72 + 4 * i));
  Put32(&wide, optional + 104, get32(optional + 88));
  Put32(&wide, optional + 108, get32(optional + 92));
  std::copy(narrow.begin() + static_cast<long>(optional) + 96,
            narrow.begin() + static_cast<long>(optional) + 224 + 40 * 3,
            wide.begin() + static_cast<long>(optional) + 112);
  wide[0x80 + 4] = 0x64;  // x64
  wide[0x80 + 5] = 0x86;
  wide[0x80 + 20] = 240;
  return wide;
}

// An .ico of two images: a 16x16 bitmap with its masks, and a 256x256 PNG (its header only).
Bytes TwoImageIcon() {
  Bytes bitmap(40 + 16 * 16 * 4 + 16 * 4, 0x11);
  Put32(&bitmap, 0, 40);
  Put32(&bitmap, 4, 16);
  Put32(&bitmap, 8, 32);
  Put32(&bitmap, 12, 1 | 32 << 16);
  Put32(&bitmap, 32, 0);
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0,
               0,    1,   0,   0,   0,    1,    0,    8,    6, 0, 0, 0,  1,   2,   3,   4};
  Bytes ico(6 + 2 * 16, 0);
  ico[2] = 1;
  ico[4] = 2;
  ico[6] = 16;
  ico[7] = 16;
  ico[6 + 4] = 1;
  ico[6 + 6] = 32;
  Put32(&ico, 6 + 8, static_cast<uint32_t>(bitmap.size()));
  Put32(&ico, 6 + 12, static_cast<uint32_t>(ico.size()));
  ico[22 + 4] = 1;
  ico[22 + 6] = 32;
  Put32(&ico, 22 + 8, static_cast<uint32_t>(png.size()));
  Put32(&ico, 22 + 12, static_cast<uint32_t>(ico.size() + bitmap.size()));
  ico.insert(ico.end(), bitmap.begin(), bitmap.end());
  ico.insert(ico.end(), png.begin(), png.end());
  return ico;
}

// The resource harness's input: the stub's length in two bytes, the stub, the icon.
Bytes StubAndIcon(const Bytes& stub, const Bytes& icon) {
  Bytes input = {static_cast<uint8_t>(stub.size()), static_cast<uint8_t>(stub.size() >> 8)};
  input.insert(input.end(), stub.begin(), stub.end());
  input.insert(input.end(), icon.begin(), icon.end());
  return input;
}

void ResourceSeeds(Seeds* seeds, const char* realStub) {
  const Bytes icon = TwoImageIcon();
  seeds->Add("pe32", StubAndIcon(MakeTestStub(), icon));
  seeds->Add("pe32-no-icon", StubAndIcon(MakeTestStub(), {}));
  TestStubShape bare;
  bare.resources = false;
  seeds->Add("pe32-no-resources", StubAndIcon(MakeTestStub(bare), icon));
  seeds->Add("pe32plus", StubAndIcon(WideStub(), icon));
  if (realStub == nullptr) return;
  char path[PATH_BUFFER];
  std::string stub;
  if (!ToPortablePath(realStub, path, MAX_PATH) || !ReadWholeFile(path, &stub) ||
      stub.size() > 0xFFFF) {
    ++seeds->failed;
    return;
  }
  seeds->Add("launcher", StubAndIcon(Bytes(stub.begin(), stub.end()), icon));
}

bool MakeSeedDir(const std::string& dir) {
  return MakeDirectory(dir.c_str()) != MAKEDIR_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
  char out[PATH_BUFFER];
  if ((argc != 2 && argc != 3) || !ToPortablePath(argv[1], out, MAX_PATH)) {
    fprintf(stderr, "usage: make_fuzz_seeds OUT_DIR [LAUNCHER_STUB]\n");
    return 2;
  }
  Seeds blobs, packages, bundles, resources;
  blobs.dir = std::string(out) + "\\decode_fuzzer";
  packages.dir = std::string(out) + "\\package_fuzzer";
  bundles.dir = std::string(out) + "\\bundle_fuzzer";
  resources.dir = std::string(out) + "\\resource_fuzzer";
  if (!MakeSeedDir(out) || !MakeSeedDir(blobs.dir) || !MakeSeedDir(packages.dir) ||
      !MakeSeedDir(bundles.dir) || !MakeSeedDir(resources.dir)) {
    fprintf(stderr, "make_fuzz_seeds: cannot create the seed directories in %s\n", argv[1]);
    return 1;
  }
  BlobSeeds(&blobs);
  PackageSeeds(&packages);
  BundleSeeds(&bundles);
  ResourceSeeds(&resources, argc == 3 ? argv[2] : nullptr);
  printf("%d blob seeds, %d package seeds, %d release seeds, %d resource seeds\n", blobs.written,
         packages.written, bundles.written, resources.written);
  return blobs.failed + packages.failed + bundles.failed + resources.failed == 0 ? 0 : 1;
}
