// setuppack: makes, lists, verifies and unpacks the launcher's packages.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "packer/bundle.h"
#include "packer/commands.h"
#include "packer/system.h"

namespace {

using packer::Failure;
using packer::Options;

const char kUsage[] =
    "usage: setuppack COMMAND [options] ARGS\n"
    "\n"
    "commands:\n"
    "  create SRC_DIR [-o FILE]   pack a directory tree (default output Pack.qvd)\n"
    "  list FILE                  show the entries of a package\n"
    "  verify FILE                check that the launcher would unpack a package in full\n"
    "  extract FILE DEST_DIR      unpack a package as the launcher would\n"
    "  bundle SOURCE [-o OUT]     make a release: sealed launcher, package and splash\n"
    "  compress IN OUT            compress one file into a blob\n"
    "  decompress IN OUT          decompress one blob\n"
    "\n"
    "options: --quiet, --help; 'setuppack COMMAND --help' tells more.\n"
    "exit codes: 0 success, 1 failure or problems found, 2 wrong usage.\n";

struct Command {
  const char* name;
  int arguments;
  const char* help;
};

const Command kCommands[] = {
    {"create", 1,
     "usage: setuppack create SRC_DIR [-o FILE] [--fast] [--jobs N] [--codepage CP] [--quiet]\n"
     "                        [--exclude GLOB]... [--files-from LIST] [--follow-links]\n"
     "Packs every directory and file below SRC_DIR into FILE (default Pack.qvd). The output is\n"
     "the same byte for byte for the same tree. The package is written beside FILE under a\n"
     "temporary name and renamed over FILE only when complete. Identical files are stored once.\n"
     "  -o FILE            where to write the package\n"
     "  --fast             greedy parse: faster, slightly larger\n"
     "  --jobs N           compress on N threads (default: one per core)\n"
     "  --codepage CP      write names outside ASCII in Windows ANSI code page CP (e.g. 1252);\n"
     "                     without it such names are refused\n"
     "  --exclude GLOB     leave out what GLOB matches (*, ?, [...], **); without a '/' it\n"
     "                     matches a name at any depth; repeatable\n"
     "  --files-from LIST  pack only the paths LIST names, one a line, relative to SRC_DIR\n"
     "  --follow-links     pack what symbolic links point to instead of refusing them\n"
     "Refused: links and special files, names Windows cannot hold, names that differ only in\n"
     "letter case, files of 4 GiB or more.\n"},
    {"list", 1,
     "usage: setuppack list FILE [--codepage CP]\n"
     "Prints one line per entry: kind, stored size, decoded size, ratio, name; then totals and\n"
     "the disk space unpacking needs.\n"
     "  --codepage CP  show names in the package's ANSI code page CP (e.g. 1252); without it,\n"
     "                 bytes beyond ASCII are shown as \\xNN\n"},
    {"verify", 1,
     "usage: setuppack verify FILE [--codepage CP] [--quiet]\n"
     "Checks the tables and names as the launcher does and decodes every blob in full. Prints\n"
     "one line per problem and exits with 1 when there is any.\n"
     "  --codepage CP  the target users' ANSI code page: names are shown in it, and names that\n"
     "                 differ only in the case of letters beyond ASCII are found too\n"},
    {"extract", 2,
     "usage: setuppack extract FILE DEST_DIR [--codepage CP] [--quiet]\n"
     "Unpacks FILE into DEST_DIR (new or empty) with the launcher's own code. On any failure,\n"
     "and when interrupted, nothing is left in DEST_DIR or in the temporary directory.\n"
     "  --codepage CP  show names in problem lines in ANSI code page CP\n"},
    {"bundle", 1,
     "usage: setuppack bundle SOURCE [-o OUT] [--single-file] [--stub FILE] [--splash FILE.bmp]\n"
     "         [--icon FILE.ico] [--version 1.2.3] [--product TEXT] [--company TEXT]\n"
     "         [--description TEXT] [--copyright TEXT] [--codepage CP] [--fast] [--jobs N]\n"
     "         [--quiet]\n"
     "Makes a release from SOURCE, a payload folder (packed as create does) or a package.\n"
     "By default OUT is a folder (release) holding setup.exe, Pack.qvd and setup.bmp, the\n"
     "launcher sealed to the SHA-256 of the other two. With --single-file OUT is one file\n"
     "(setup.exe): the sealed launcher with the package and the splash appended. Sign setup.exe\n"
     "afterwards; the signature covers everything the launcher will read.\n"
     "  --stub FILE        the launcher to start from (default: the one installed with the tools)\n"
     "  --splash FILE      the splash bitmap, a BMP file (default: no splash)\n"
     "  --icon FILE        an .ico file: the launcher's icon\n"
     "  --version, --product, --company, --description, --copyright TEXT\n"
     "                     the launcher's version information (text in UTF-8)\n"},
    {"compress", 2,
     "usage: setuppack compress IN OUT [--fast]\n"
     "Compresses the file IN into the blob OUT.\n"},
    {"decompress", 2,
     "usage: setuppack decompress IN OUT [--quiet]\n"
     "Decompresses the blob IN into OUT; fails on a damaged blob and writes nothing then.\n"},
};

// Where the value of a bundle option goes; null for other options.
std::string* BundleValue(const std::string& option, packer::BundleOptions* bundle) {
  if (option == "--version") return &bundle->version;
  if (option == "--product") return &bundle->product;
  if (option == "--company") return &bundle->company;
  if (option == "--description") return &bundle->description;
  if (option == "--copyright") return &bundle->copyright;
  return nullptr;
}

std::filesystem::path* BundlePath(const std::string& option, packer::BundleOptions* bundle) {
  if (option == "--stub") return &bundle->stub;
  if (option == "--splash") return &bundle->splash;
  if (option == "--icon") return &bundle->icon;
  return nullptr;
}

int Usage(const char* message) {
  fprintf(stderr, "setuppack: %s\n%s", message, kUsage);
  return 2;
}

int Run(const Command& command, const std::vector<std::string>& arguments, const Options& options,
        packer::BundleOptions bundle) {
  const std::string& first = arguments[0];
  const std::string& second = arguments.size() > 1 ? arguments[1] : first;
  std::string name = command.name;
  if (name == "create") return packer::CreateCommand(first, options);
  if (name == "list") return packer::ListCommand(first, options);
  if (name == "verify") return packer::VerifyCommand(first, options);
  if (name == "bundle") {
    bundle.source = first;
    return packer::BundleCommand(bundle, options);
  }
  if (name == "extract") return packer::ExtractCommand(first, second, options);
  if (name == "compress") return packer::CompressCommand(first, second, options);
  return packer::DecompressCommand(first, second, options);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no command given");
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
      strcmp(argv[1], "help") == 0) {
    printf("%s", kUsage);
    return 0;
  }
  const Command* command = nullptr;
  for (const Command& candidate : kCommands)
    if (strcmp(argv[1], candidate.name) == 0) command = &candidate;
  if (command == nullptr) return Usage((std::string("unknown command '") + argv[1] + "'").c_str());

  Options options;
  std::vector<std::string> arguments;
  packer::BundleOptions bundle;
  bool bundling = strcmp(command->name, "bundle") == 0;
  bool create = bundling || strcmp(command->name, "create") == 0;
  bool compress = create || strcmp(command->name, "compress") == 0;
  bool names = create || strcmp(command->name, "list") == 0 ||
               strcmp(command->name, "verify") == 0 || strcmp(command->name, "extract") == 0;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)what;
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      printf("%s", command->help);
      return 0;
    } else if (arg == "--quiet" || arg == "-q") {
      options.quiet = true;
    } else if (compress && arg == "--fast") {
      options.parse = PARSE_GREEDY;
    } else if (create && (arg == "-o" || arg == "--output")) {
      const char* path = value("a file");
      if (path == nullptr) return Usage("-o needs a file name");
      options.output = path;
      bundle.output = path;
    } else if (bundling && arg == "--single-file") {
      bundle.singleFile = true;
    } else if (bundling && BundleValue(arg, &bundle) != nullptr) {
      const char* text = value("a value");
      if (text == nullptr) return Usage((arg + " needs a value").c_str());
      *BundleValue(arg, &bundle) = packer::ArgumentUtf8(i, text);
    } else if (bundling && BundlePath(arg, &bundle) != nullptr) {
      const char* path = value("a file");
      if (path == nullptr) return Usage((arg + " needs a file name").c_str());
      *BundlePath(arg, &bundle) = path;
    } else if (create && arg == "--jobs") {
      const char* text = value("a number");
      int jobs = text != nullptr ? atoi(text) : 0;
      if (jobs < 1 || jobs > 256) return Usage("--jobs takes a number from 1 to 256");
      options.jobs = static_cast<unsigned>(jobs);
    } else if (create && arg == "--exclude") {
      const char* pattern = value("a pattern");
      if (pattern == nullptr) return Usage("--exclude needs a pattern");
      options.exclude.push_back(pattern);
    } else if (create && arg == "--files-from") {
      const char* path = value("a file");
      if (path == nullptr) return Usage("--files-from needs a file name");
      options.filesFrom = path;
    } else if (create && arg == "--follow-links") {
      options.followLinks = true;
    } else if (names && arg == "--codepage") {
      const char* text = value("a number");
      int page = text != nullptr ? atoi(text) : 0;
      if (page <= 0 || page > 65535)
        return Usage("--codepage takes a Windows code page number, such as 1252");
      options.codePage = page;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage(("unknown option '" + arg + "' for " + command->name).c_str());
    } else {
      arguments.push_back(arg);
    }
  }
  if (static_cast<int>(arguments.size()) != command->arguments) {
    fprintf(stderr, "setuppack: %s takes %d argument%s\n%s", command->name, command->arguments,
            command->arguments == 1 ? "" : "s", command->help);
    return 2;
  }
  try {
    return Run(*command, arguments, options, bundle);
  } catch (const Failure& failure) {
    fprintf(stderr, "setuppack: %s\n", failure.what());
  } catch (const std::exception& failure) {
    fprintf(stderr, "setuppack: %s\n", failure.what());
  }
  return 1;
}
