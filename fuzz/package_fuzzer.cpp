// Extraction of arbitrary packages into a fresh install directory. Nothing may appear or change
// outside that directory, no staging directory may stay behind, a run that succeeds reports no
// problem and one that fails reports at least one; and a successful run unpacks exactly what
// the tables name, every file as the plain model decodes its blob.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "common/platform.h"
#include "package/extract.h"
#include "support/reference_codec.h"

namespace fs = std::filesystem;

namespace {

void Check(bool condition, const char* what, const std::string& detail = "") {
  if (condition) return;
  fprintf(stderr, "package_fuzzer: %s %s\n", what, detail.c_str());
  abort();
}

// A private tree: root/outer/Pack.qvd is the package and root/outer/temp the temporary
// directory (TMPDIR) holding the install directory, so that a name climbing one or two levels
// out of the staging or install directory still lands where the snapshot sees it.
struct Workspace {
  fs::path root;
  fs::path temp;
  fs::path install;
  fs::path package;
  char installPortable[PATH_BUFFER];
  char packagePortable[PATH_BUFFER];
};

void RemoveWorkspace();

Workspace& GetWorkspace() {
  static Workspace* workspace = [] {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/package_fuzzer.XXXXXX";
    Check(mkdtemp(&pattern[0]) != nullptr, "cannot create", pattern);
    Workspace* w = new Workspace();
    w->root = pattern;
    w->temp = w->root / "outer" / "temp";
    w->install = w->temp / "ZeKolInst0";
    w->package = w->root / "outer" / "Pack.qvd";
    fs::create_directories(w->temp);
    Check(setenv("TMPDIR", w->temp.c_str(), 1) == 0, "cannot set TMPDIR");
    Check(ToPortablePath(w->install.c_str(), w->installPortable, MAX_PATH) &&
              ToPortablePath(w->package.c_str(), w->packagePortable, MAX_PATH),
          "workspace path too long", w->root.string());
    atexit(RemoveWorkspace);
    return w;
  }();
  return *workspace;
}

void RemoveWorkspace() {
  std::error_code error;
  fs::remove_all(GetWorkspace().root, error);
}

// Relative path (portable spelling) -> contents, with a trailing backslash for directories.
typedef std::map<std::string, std::string> Tree;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Portable(const fs::path& relative) {
  std::string name = relative.string();
  for (char& c : name)
    if (c == '/') c = '\\';
  return "\\" + name;
}

// Everything below `dir` except what lies below `skip`.
Tree Snapshot(const fs::path& dir, const fs::path& skip) {
  Tree tree;
  fs::recursive_directory_iterator it(dir), end;
  for (; it != end; ++it) {
    std::string name = Portable(it->path().lexically_relative(dir));
    if (it->is_symlink()) {
      tree[name] = "<link>";
    } else if (it->is_directory()) {
      tree[name + "\\"] = "";
      if (it->path() == skip) it.disable_recursion_pending();
    } else {
      tree[name] = ReadFile(it->path());
    }
  }
  return tree;
}

uint32_t ReadU32(const uint8_t* data, size_t size, size_t* at, bool* ok) {
  if (size - *at < 4) {
    *ok = false;
    return 0;
  }
  const uint8_t* p = data + *at;
  *at += 4;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct Record {
  std::string name;
  uint32_t offset;
  uint32_t size;
};

// What a successful extraction must leave in the install directory, read straight from the
// package bytes: every directory, and every file as the plain model decodes its blob. False when
// the tables cannot be read.
bool ExpectedTree(const uint8_t* data, size_t size, Tree* tree) {
  size_t at = 0;
  bool ok = true;
  std::vector<Record> tables[2];
  for (std::vector<Record>& records : tables) {
    int32_t count = static_cast<int32_t>(ReadU32(data, size, &at, &ok));
    for (int32_t i = 0; i < count && ok; ++i) {
      uint32_t length = ReadU32(data, size, &at, &ok);
      if (!ok || size - at < length) return false;
      Record record;
      record.name.assign(reinterpret_cast<const char*>(data + at), length);
      at += length;
      record.offset = ReadU32(data, size, &at, &ok);
      record.size = ReadU32(data, size, &at, &ok);
      records.push_back(record);
    }
    if (!ok) return false;
  }
  // Records are applied in order, names compared as Windows does for ASCII; a directory listed
  // again or without its parent, and a file without its directory, under a directory of its
  // name or named again later, are passed over. What is created takes its directory's spelling.
  auto fold = [](std::string name) {
    for (char& c : name)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return name;
  };
  std::map<std::string, std::string> created;  // folded -> as spelled on disk
  auto placed = [&](const std::string& name, std::string* spelled) {
    size_t cut = name.rfind('\\');
    if (cut == 0) {
      *spelled = name;
      return true;
    }
    auto parent = created.find(fold(name.substr(0, cut)));
    if (parent == created.end()) return false;
    *spelled = parent->second + name.substr(cut);
    return true;
  };
  for (Record directory : tables[0]) {
    if (!directory.name.empty() && directory.name.back() == '\\') directory.name.pop_back();
    if (directory.name.empty() || created.count(fold(directory.name)) != 0) continue;
    std::string spelled;
    if (!placed(directory.name, &spelled)) continue;
    created[fold(spelled)] = spelled;
    (*tree)[spelled + "\\"] = "";
  }
  std::map<std::string, size_t> lastOfName;
  for (size_t i = 0; i < tables[1].size(); ++i) lastOfName[fold(tables[1][i].name)] = i;
  for (size_t i = 0; i < tables[1].size(); ++i) {
    const Record& file = tables[1][i];
    uint64_t start = static_cast<uint64_t>(at) + file.offset;
    if (start > size || size - start < file.size) return false;
    std::string spelled;
    if (created.count(fold(file.name)) != 0 || lastOfName[fold(file.name)] != i ||
        !placed(file.name, &spelled))
      continue;
    std::vector<uint8_t> blob(data + start, data + start + file.size);
    std::string decoded;
    if (!ReferenceDecode(blob, &decoded)) return false;
    (*tree)[spelled] = decoded;
  }
  return true;
}

void CollectProblem(void* context, const char* where, const char* what) {
  static_cast<std::vector<std::string>*>(context)->push_back(std::string(where) + ": " + what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Workspace& w = GetWorkspace();
  {
    std::ofstream out(w.package, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    Check(static_cast<bool>(out), "cannot write the package");
  }
  Check(fs::create_directory(w.install), "install directory left from an earlier input");
  Tree before = Snapshot(w.root, w.install);

  std::vector<std::string> problems;
  ProblemReporter reporter = {CollectProblem, &problems, nullptr};
  int ok = ExtractPackage(w.packagePortable, w.installPortable, &reporter) == EXTRACT_OK;

  Tree after = Snapshot(w.root, w.install);
  for (const auto& entry : after)
    Check(before.count(entry.first) != 0, "created outside the install directory:", entry.first);
  Check(after == before, "something outside the install directory changed or vanished");
  if (ok) {
    if (!problems.empty()) Check(false, "success with a problem reported:", problems.front());
    Tree expected;
    Check(ExpectedTree(data, size, &expected), "success on a package the model cannot read");
    Tree installed = Snapshot(w.install, fs::path());
    for (const auto& entry : expected)
      Check(installed.count(entry.first) != 0 && installed[entry.first] == entry.second,
            "missing or wrongly decoded:", entry.first);
    for (const auto& entry : installed)
      Check(expected.count(entry.first) != 0, "unpacked but not in the package:", entry.first);
  } else {
    Check(!problems.empty(), "failure without a problem reported");
  }
  fs::remove_all(w.install);
  return 0;
}
