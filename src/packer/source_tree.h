// What create packs of a source directory: the tree, or the paths a list names, less what the
// exclude patterns name, each entry with the name the package will give it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "packer/options.h"

namespace packer {

struct SourceEntry {
  std::string name;  // "\a\b" in the target code page
  std::filesystem::path source;
  uint64_t size = 0;
};

struct SourceTree {
  std::vector<SourceEntry> directories;
  std::vector<SourceEntry> files;
};

// Glob patterns on paths relative to the source directory, spelt with '/' ('\' counts as '/'):
// `*` and `?` stand for any run of characters and any one character within a name, `[a-z]`,
// `[!a-z]` or `[^a-z]` for one of a set, and a whole component `**` for any number of
// directories. A pattern without a separator matches a name at any depth, as in the usual
// ignore files; one with a separator matches from the source directory down ("/x" only the
// top-level x); a trailing '/' matches directories only; "a/**" matches what a holds but not
// a itself. Letter case counts, as it does on the packing side, so that a tree and its patterns
// give the same package on every system.
class ExcludePatterns {
 public:
  explicit ExcludePatterns(const std::vector<std::string>& patterns);
  // `relative` is UTF-8 with '/' between components.
  bool Excludes(const std::string& relative, bool directory) const;

 private:
  struct Pattern {
    std::vector<std::u32string> components;
    bool directoriesOnly;
  };
  std::vector<Pattern> patterns_;
};

// Finds what to pack below `root` as `options` says (exclude, filesFrom, followLinks, codePage).
// What cannot be packed is appended to `problems`, one line each. Files that are one of `skip`
// (the package being written, then its temporary files) are left out whatever their name or
// path, so a package made inside its own source never holds itself; the first with a note.
void CollectSource(const std::filesystem::path& root, const Options& options,
                   const std::vector<std::filesystem::path>& skip, SourceTree* tree,
                   std::vector<std::string>* problems);

}  // namespace packer
