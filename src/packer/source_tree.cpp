#include "packer/source_tree.h"

#include <fstream>
#include <map>
#include <set>

#include "common/code_page.h"
#include "common/platform.h"
#include "package/entry_name.h"
#include "packer/failure.h"
#include "packer/options.h"
#include "packer/system.h"
#include "packer/terminal.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

// The longest temporary directory the launcher is likely to meet, with its own directory
// name: "C:\Users\Publisher\AppData\Local\Temp\latmp10.tmp". Names that pass MAX_PATH under
// it are worth a warning, though a shorter profile path may still hold them.
const size_t kTypicalTempPath = 49;

// With --follow-links a directory reached a second time through another link is packed again,
// as the links ask, but only this much in all: links that each lead twice to the level below
// make a tree of a few folders hold millions of paths.
const uint64_t kMostEntriesPackedAgain = 10000;
const uint64_t kMostBytesPackedAgain = 256u << 20;

// UTF-8 as characters; a byte that starts no valid sequence stands for itself as U+DC00 + byte,
// so that every name can still be matched.
std::u32string Characters(const std::string& text) {
  std::u32string out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t value = extra == 0 ? lead : lead & (0x7Fu >> (extra + 1));
    bool valid = (lead < 0x80 || (lead >= 0xC0 && lead < 0xF8)) && i + extra < text.size();
    for (size_t k = 1; valid && k <= extra; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      value = value << 6 | (next & 0x3F);
    }
    if (!valid) {
      out.push_back(0xDC00 + lead);
      ++i;
      continue;
    }
    out.push_back(value);
    i += extra + 1;
  }
  return out;
}

std::vector<std::u32string> Components(const std::string& path) {
  std::vector<std::u32string> components;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i)
    if (i == path.size() || path[i] == '/') {
      if (i > start) components.push_back(Characters(path.substr(start, i - start)));
      start = i + 1;
    }
  return components;
}

// One character or set of the pattern at `*at` against `c`; moves `*at` past it. A '[' that
// is never closed is a plain character.
bool MatchOne(const std::u32string& pattern, size_t* at, char32_t c) {
  const size_t i = *at;
  if (pattern[i] == '?') {
    *at = i + 1;
    return true;
  }
  if (pattern[i] == '[') {
    size_t j = i + 1;
    const bool negated = j < pattern.size() && (pattern[j] == '!' || pattern[j] == '^');
    if (negated) ++j;
    const size_t first = j;
    bool found = false;
    // A ']' first in the set is one of its members.
    for (; j < pattern.size() && (pattern[j] != ']' || j == first); ++j) {
      char32_t low = pattern[j], high = low;
      if (j + 2 < pattern.size() && pattern[j + 1] == '-' && pattern[j + 2] != ']') {
        high = pattern[j + 2];
        j += 2;
      }
      found = found || (c >= low && c <= high);
    }
    if (j < pattern.size()) {
      *at = j + 1;
      return found != negated;
    }
  }
  *at = i + 1;
  return pattern[i] == c;
}

// Backtracks to the latest '*' only: a later star can take over whatever an earlier one would
// have had to, so the match is linear in practice and never exponential.
bool MatchName(const std::u32string& pattern, const std::u32string& name) {
  size_t p = 0, n = 0, starP = std::u32string::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starN = n;
      continue;
    }
    size_t next = p;
    if (p < pattern.size() && MatchOne(pattern, &next, name[n])) {
      p = next;
      ++n;
      continue;
    }
    if (starP == std::u32string::npos) return false;
    p = starP;
    n = ++starN;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool MatchComponents(const std::vector<std::u32string>& pattern, size_t p,
                     const std::vector<std::u32string>& path, size_t c) {
  for (; p < pattern.size(); ++p, ++c) {
    if (pattern[p] == U"**") {
      if (p + 1 == pattern.size()) return c < path.size();
      for (size_t skip = c; skip <= path.size(); ++skip)
        if (MatchComponents(pattern, p + 1, path, skip)) return true;
      return false;
    }
    if (c == path.size() || !MatchName(pattern[p], path[c])) return false;
  }
  return c == path.size();
}

// What the walk found at a path, links followed or not as asked.
enum Kind { KIND_FILE, KIND_DIRECTORY, KIND_LINK, KIND_BROKEN_LINK, KIND_SPECIAL, KIND_MISSING };

class Collector {
 public:
  Collector(const fs::path& root, const Options& options, const std::vector<fs::path>& skip,
            SourceTree* tree, std::vector<std::string>* problems)
      : root_(root),
        options_(options),
        exclude_(options.exclude),
        tree_(tree),
        problems_(problems) {
    std::error_code error;
    for (size_t i = 0; i < skip.size(); ++i)
      if (fs::is_regular_file(skip[i], error))
        skip_.push_back({skip[i], fs::file_size(skip[i], error), i == 0});
  }

  // Everything below `dir`, which is `relative` below the root and named `name` in the package.
  void Walk(const fs::path& dir, const fs::path& relative, const std::string& name,
            std::vector<fs::path>* ancestors) {
    std::error_code error;
    fs::directory_iterator it(dir, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
      const fs::path& path = it->path();
      const fs::path childRelative = relative / path.filename();
      uint64_t size = 0;
      const Kind kind = Classify(path, &size);
      if (exclude_.Excludes(childRelative.generic_u8string(), kind == KIND_DIRECTORY)) continue;
      std::string childName;
      if (!Admit(path, kind, size, name, path.filename(), &childName)) continue;
      if (kind == KIND_DIRECTORY && options_.followLinks && LeadsBack(path, *ancestors)) continue;
      const bool again = kind == KIND_DIRECTORY && options_.followLinks && !FirstVisit(path);
      if (again && repeating_ == 0) repeated_ = path;
      if (again || repeating_ > 0) CountRepeat(path, size);
      if (kind != KIND_DIRECTORY) continue;
      tree_->directories.push_back({childName, path, 0});
      ancestors->push_back(path);
      repeating_ += again ? 1 : 0;
      Walk(path, childRelative, childName, ancestors);
      repeating_ -= again ? 1 : 0;
      ancestors->pop_back();
    }
    if (error) throw Failure(dir.string() + ": cannot be read: " + error.message());
  }

  // The paths `list` names, one a line, with the directories that lead to them. A listed
  // directory brings its record, not what it holds: list that too, or leave the list to a
  // tool that walks the tree.
  void AddListed(const fs::path& list) {
    std::ifstream in(list, std::ios::binary);
    if (!in) throw Failure(list.string() + ": cannot be read");
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
      const size_t first = line.find_first_not_of(" \t\r");
      if (first == std::string::npos || line[first] == '#') continue;
      line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
      AddListedPath(line, list.string() + ":" + std::to_string(number) + ": " + line);
    }
    if (in.bad()) throw Failure(list.string() + ": cannot be read");
  }

 private:
  struct Skipped {
    fs::path path;
    uint64_t size;
    bool noted;  // the package the user named; its temporary files go without a word
  };

  Kind Classify(const fs::path& path, uint64_t* size) {
    std::error_code error;
    fs::file_status status = fs::symlink_status(path, error);
    if (error || !fs::exists(status)) {
      if (error && error != std::errc::no_such_file_or_directory &&
          error != std::errc::not_a_directory)
        throw Failure(path.string() + ": cannot be read: " + error.message());
      return KIND_MISSING;
    }
    if (fs::is_symlink(status)) {
      if (!options_.followLinks) return KIND_LINK;
      // A link to nowhere, or to itself through other links.
      status = fs::status(path, error);
      if (error) return KIND_BROKEN_LINK;
    }
    if (fs::is_directory(status)) return KIND_DIRECTORY;
    if (!fs::is_regular_file(status)) return KIND_SPECIAL;
    *size = fs::file_size(path, error);
    if (error) throw Failure(path.string() + ": cannot be read: " + error.message());
    return KIND_FILE;
  }

  // Whether `path` goes into the package: true with its package name in `name` when it does,
  // false after a problem or a note when it does not. Files are added here.
  bool Admit(const fs::path& path, Kind kind, uint64_t size, const std::string& parentName,
             const fs::path& component, std::string* name) {
    switch (kind) {
      case KIND_LINK:
        return Refuse(path,
                      "symbolic link (packages hold files and directories only; "
                      "--follow-links packs what links point to)");
      case KIND_BROKEN_LINK:
        return Refuse(path, "link that leads nowhere, or round in a loop of links");
      case KIND_SPECIAL:
        return Refuse(path, "special file (packages hold files and directories only)");
      case KIND_MISSING:
        return Refuse(path, "does not exist");
      case KIND_FILE:
      case KIND_DIRECTORY:
        break;
    }
    if (kind == KIND_FILE) {
      if (const Skipped* skipped = FindSkipped(path, size)) {
        if (skipped->noted && !options_.quiet)
          PrintLine(stderr, "setuppack: " + path.string() +
                                ": the package being written; not packed into itself");
        return false;
      }
    }
    std::string converted, why;
    if (!ToTargetName(component, options_.codePage, &converted, &why)) return Refuse(path, why);
    if (FindSeparator(converted.c_str()) != nullptr)
      return Refuse(path, "backslash in a name is not valid on Windows");
    *name = parentName + "\\" + converted;
    const char* problem = EntryNameProblem(name->c_str(), static_cast<uint32_t>(name->size()));
    if (problem == nullptr) problem = UnpackedLengthProblem(name->c_str(), kind == KIND_DIRECTORY);
    if (problem != nullptr) return Refuse(path, problem);
    if (kTypicalTempPath + name->size() >= MAX_PATH)
      Warn(options_, path.string() + ": name of " + std::to_string(name->size()) +
                         " bytes may pass MAX_PATH under a user's temporary directory");
    if (kind == KIND_FILE) {
      if (size > 0xFFFFFFFFu)
        return Refuse(path, "4 GiB or more (the format holds sizes below 4 GiB)");
      tree_->files.push_back({*name, path, size});
    }
    return true;
  }

  bool Refuse(const fs::path& path, const std::string& why) {
    problems_->push_back(path.string() + ": " + why);
    return false;
  }

  // By identity, not by name: the output may be named through another path or a hard link. The
  // size, read before the walk, spares the comparison for most files.
  const Skipped* FindSkipped(const fs::path& path, uint64_t size) const {
    std::error_code error;
    for (const Skipped& skipped : skip_)
      if (skipped.size == size && fs::equivalent(path, skipped.path, error)) return &skipped;
    return nullptr;
  }

  // Directories by what they are, not by the links that lead to them.
  bool FirstVisit(const fs::path& path) {
    std::error_code error;
    const fs::path real = fs::canonical(path, error);
    return error || visited_.insert(real.native()).second;
  }

  void CountRepeat(const fs::path& path, uint64_t size) {
    ++entriesAgain_;
    bytesAgain_ += size;
    if (entriesAgain_ > kMostEntriesPackedAgain || bytesAgain_ > kMostBytesPackedAgain)
      throw Failure(repeated_.string() + ": reached again through another link, and what such " +
                    "directories hold passes " + std::to_string(kMostEntriesPackedAgain) +
                    " entries or " + FormatBytes(kMostBytesPackedAgain) + " packed again (at " +
                    path.string() + "); exclude the links that lead to it again");
  }

 public:
  void StartAt(const fs::path& root) { FirstVisit(root); }

 private:
  // A directory reached again below itself through a link would be walked for ever.
  bool LeadsBack(const fs::path& path, const std::vector<fs::path>& ancestors) {
    std::error_code error;
    for (const fs::path& ancestor : ancestors)
      if (fs::equivalent(path, ancestor, error))
        return !Refuse(path, "leads back to " + ancestor.string() +
                                 ", which holds it (a directory cycle); exclude the link");
    return false;
  }

  void AddListedPath(const std::string& line, const std::string& where) {
    // Checked by component before anything is joined: a drive or a root would make the path
    // leave the source directory however it is joined.
    if (line[0] == '/' || line[0] == '\\' || line.find(':') != std::string::npos) {
      problems_->push_back(where + ": not a path relative to the source directory");
      return;
    }
    fs::path relative;
    std::string component;
    for (size_t i = 0; i <= line.size(); ++i) {
      if (i < line.size() && line[i] != '/' && line[i] != '\\') {
        component += line[i];
        continue;
      }
      if (component == "..") {
        problems_->push_back(where + ": leads out of the source directory");
        return;
      }
      if (!component.empty() && component != ".") relative /= fs::u8path(component);
      component.clear();
    }
    if (relative.empty()) return;  // the source directory itself, which every package is
    std::string name;
    fs::path sofar;
    for (auto it = relative.begin(); it != relative.end(); ++it) {
      sofar /= *it;
      const bool last = std::next(it) == relative.end();
      auto known = listed_.find(sofar.generic_u8string());
      if (known != listed_.end()) {
        name = known->second;
        continue;
      }
      const fs::path path = root_ / sofar;
      uint64_t size = 0;
      const Kind kind = Classify(path, &size);
      if (kind == KIND_MISSING) {
        problems_->push_back(where + ": does not exist");
        return;
      }
      if (exclude_.Excludes(sofar.generic_u8string(), kind == KIND_DIRECTORY)) return;
      if (!last && kind == KIND_FILE) {
        problems_->push_back(where + ": " + path.string() + " is not a directory");
        return;
      }
      std::string childName;
      if (!Admit(path, kind, size, name, *it, &childName)) return;
      if (kind == KIND_DIRECTORY) tree_->directories.push_back({childName, path, 0});
      listed_.emplace(sofar.generic_u8string(), childName);
      name = childName;
    }
  }

  const fs::path root_;
  const Options& options_;
  const ExcludePatterns exclude_;
  SourceTree* tree_;
  std::vector<std::string>* problems_;
  std::vector<Skipped> skip_;
  std::map<std::string, std::string> listed_;  // relative path to package name, once each
  std::set<fs::path::string_type> visited_;    // with --follow-links, directories walked
  int repeating_ = 0;                          // walking inside a directory seen before
  fs::path repeated_;                          // the outermost such directory
  uint64_t entriesAgain_ = 0, bytesAgain_ = 0;
};

}  // namespace

ExcludePatterns::ExcludePatterns(const std::vector<std::string>& patterns) {
  for (std::string text : patterns) {
    for (char& c : text)
      if (c == '\\') c = '/';
    Pattern pattern;
    pattern.directoriesOnly = !text.empty() && text.back() == '/';
    while (!text.empty() && text.back() == '/') text.pop_back();
    if (text.find('/') == std::string::npos) pattern.components.push_back(U"**");
    for (const std::u32string& component : Components(text)) {
      if (component == U".") continue;
      // "**/**" says no more than "**".
      if (component == U"**" && !pattern.components.empty() && pattern.components.back() == U"**")
        continue;
      pattern.components.push_back(component);
    }
    // An empty pattern, "/" or "." names nothing below the source directory.
    if (pattern.components.empty() ||
        (pattern.components.size() == 1 && pattern.components[0] == U"**" &&
         text.find("**") == std::string::npos))
      continue;
    patterns_.push_back(pattern);
  }
}

bool ExcludePatterns::Excludes(const std::string& relative, bool directory) const {
  if (patterns_.empty()) return false;
  const std::vector<std::u32string> path = Components(relative);
  for (const Pattern& pattern : patterns_)
    if ((directory || !pattern.directoriesOnly) && MatchComponents(pattern.components, 0, path, 0))
      return true;
  return false;
}

void CollectSource(const fs::path& root, const Options& options, const std::vector<fs::path>& skip,
                   SourceTree* tree, std::vector<std::string>* problems) {
  Collector collector(root, options, skip, tree, problems);
  if (!options.filesFrom.empty()) {
    collector.AddListed(options.filesFrom);
    return;
  }
  std::vector<fs::path> ancestors = {root};
  if (options.followLinks) collector.StartAt(root);
  collector.Walk(root, fs::path(), std::string(), &ancestors);
}

}  // namespace packer
