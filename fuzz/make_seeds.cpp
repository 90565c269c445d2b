// make_fuzz_seeds OUT_DIR: writes the harnesses' seed corpora into OUT_DIR/<harness>/, made with
// the test support's own writers: valid blobs from the plain model, a few damaged ones, and
// valid, damaged and hostile packages. Deterministic, so rerunning it rewrites the same files.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/platform.h"
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
  Seeds blobs, packages;
  blobs.dir = std::string(out) + "\\decode_fuzzer";
  packages.dir = std::string(out) + "\\package_fuzzer";
  if (!MakeSeedDir(out) || !MakeSeedDir(blobs.dir) || !MakeSeedDir(packages.dir)) {
    fprintf(stderr, "make_fuzz_seeds: cannot create the seed directories in %s\n", argv[1]);
    return 1;
  }
  BlobSeeds(&blobs);
  PackageSeeds(&packages);
  printf("%d blob seeds, %d package seeds\n", blobs.written, packages.written);
  return blobs.failed + packages.failed == 0 ? 0 : 1;
}
