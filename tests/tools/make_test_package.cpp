// make_test_package SRC_DIR OUT [+d NAME | +f NAME TEXT | +huge NAME]...: packs the tree below
// SRC_DIR, directories before their contents, every file as a literal-coded blob. Records given
// with +d, +f and +huge (a blob that declares 4 GiB and holds one byte) come first, as written,
// so that tests can make packages no packer would. A test fixture, not the publishers' packer.
#include <cstdio>
#include <string>
#include <vector>

#include "common/platform.h"
#include "support/bit_writer.h"
#include "support/package_builder.h"
#include "support/scratch.h"

namespace {

void Collect(const std::string& root, const std::string& relative,
             std::vector<std::string>* directories, std::vector<TestFile>* files) {
  for (const std::string& name : ListDir(root + relative)) {
    std::string entry = relative + "\\" + name;
    if (IsDirectory(root + entry)) {
      directories->push_back(entry);
      Collect(root, entry, directories, files);
    } else {
      std::string contents;
      ReadWholeFile(root + entry, &contents);
      files->push_back({entry, LiteralBlob(contents)});
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> directories;
  std::vector<TestFile> files;
  int i = 3;
  for (; i < argc; ++i) {
    std::string kind = argv[i];
    if (kind == "+d" && i + 1 < argc) {
      directories.push_back(argv[++i]);
    } else if (kind == "+f" && i + 2 < argc) {
      files.push_back({argv[i + 1], LiteralBlob(argv[i + 2])});
      i += 2;
    } else if (kind == "+huge" && i + 1 < argc) {
      std::vector<uint8_t> blob = LiteralBlob("x");
      blob[0] = blob[1] = blob[2] = blob[3] = 0xFF;
      files.push_back({argv[++i], blob});
    } else {
      break;
    }
  }
  if (argc < 3 || i != argc) {
    fprintf(stderr,
            "usage: make_test_package SRC_DIR OUT [+d NAME | +f NAME TEXT | +huge NAME]...\n");
    return 2;
  }
  char source[PATH_BUFFER], out[PATH_BUFFER];
  if (!ToPortablePath(argv[1], source, MAX_PATH) || !ToPortablePath(argv[2], out, MAX_PATH)) {
    fprintf(stderr, "make_test_package: path too long\n");
    return 1;
  }
  Collect(source, "", &directories, &files);
  if (!WriteWholeFile(out, BuildPackage(directories, files))) {
    fprintf(stderr, "make_test_package: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
