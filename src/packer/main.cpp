// setuppack: makes, lists, verifies and unpacks the launcher's packages.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "packer/bundle.h"
#include "packer/commands.h"
#include "packer/failure.h"
#include "packer/options.h"
#include "packer/system.h"
#include "setup_launcher_version.h"

namespace {

namespace fs = std::filesystem;
using packer::Failure;
using packer::Options;

// The synopsis, which a wrong command line gets too, and the rest of the general help.
const char kSynopsis[] =
    "usage: setuppack [options] COMMAND [options] ARGS\n"
    "       setuppack help COMMAND\n"
    "\n"
    "commands:\n"
    "  create SRC_DIR [-o FILE]   pack a directory tree (default output Pack.qvd)\n"
    "  list FILE                  show the entries of a package or a release\n"
    "  verify FILE                check that the launcher would unpack a package or a release\n"
    "  extract FILE DEST_DIR      unpack a package or a release as the launcher would\n"
    "  bundle SOURCE [-o OUT]     make a release: sealed launcher, package and splash\n"
    "  compress IN OUT            compress one file into a blob\n"
    "  decompress IN OUT          decompress one blob\n";
const char kDetails[] =
    "\n"
    "options: -q, --quiet, -v, --verbose, --jobs N, -h, --help, -V, --version\n"
    "  -q, --quiet    print nothing but errors, warnings and what was asked for; wins over -v\n"
    "  -v, --verbose  a line for each file handled (create, verify, compress, decompress)\n"
    "  --jobs N       compress on N threads, 1 to 256 (default: one per core)\n"
    "These go anywhere on the line. An option's value follows it as --opt=value or --opt value;\n"
    "given twice, the last one counts. '--' ends the options. '-o -' (create) and an IN or\n"
    "OUT of '-' (compress, decompress) are standard output and input; so is a FILE of '-'\n"
    "(list, verify, extract).\n"
    "'setuppack help COMMAND' or 'setuppack COMMAND --help' tells more.\n"
    "\n"
    "exit codes:\n"
    "  0  success\n"
    "  1  problems found (verify), or the command failed on its input\n"
    "  2  wrong usage\n"
    "  3  a file cannot be read or written\n";

struct Command {
  const char* name;
  const char* synopsis;
  const char* details;
};

const Command kCommands[] = {
    {"create",
     "usage: setuppack create SRC_DIR [-o FILE] [--fast] [--codepage CP] [--werror]\n"
     "                        [--exclude GLOB]... [--files-from LIST] [--follow-links]\n",
     "Packs every directory and file below SRC_DIR into FILE (default Pack.qvd). The output is\n"
     "the same byte for byte for the same tree. The package is written beside FILE under a\n"
     "temporary name and renamed over FILE only when complete; the folders it needs are made.\n"
     "Identical files are stored once.\n"
     "  -o, --output FILE  where to write the package; '-' writes it to standard output once\n"
     "                     it is complete (it is built in the temporary directory first)\n"
     "  --fast             greedy parse: faster, slightly larger\n"
     "  --codepage CP      write names outside ASCII in Windows ANSI code page CP (e.g. 1252);\n"
     "                     without it such names are refused\n"
     "  --werror           warnings (no top-level Installer.exe, names that may pass MAX_PATH)\n"
     "                     are errors: exit 1 and no package\n"
     "  --exclude GLOB     leave out what GLOB matches (*, ?, [...], **); without a '/' it\n"
     "                     matches a name at any depth; repeatable\n"
     "  --files-from LIST  pack only the paths LIST names, one a line, relative to SRC_DIR\n"
     "  --follow-links     pack what symbolic links point to instead of refusing them\n"
     "Refused: links and special files, names Windows cannot hold, names that differ only in\n"
     "letter case, files of 4 GiB or more.\n"},
    {"list", "usage: setuppack list FILE [--codepage CP] [--json]\n",
     "Prints one line per entry: kind, stored size, decoded size, ratio, name; then totals and\n"
     "the disk space unpacking needs. FILE is a package or a release: a single-file setup.exe,\n"
     "a release folder or its setup.exe (the package is read where the launcher finds it).\n"
     "  --codepage CP  show names in the package's ANSI code page CP (e.g. 1252); without it,\n"
     "                 bytes beyond ASCII are shown as \\xNN\n"
     "  --json         one JSON document: every entry with its kind, name (as UTF-8 text\n"
     "                 when known, and always as bytes in hex), stored and decoded sizes,\n"
     "                 offset in the file and whether its blob is shared; then the totals\n"},
    {"verify", "usage: setuppack verify FILE [--codepage CP] [--json] [--werror]\n",
     "Checks the tables and names as the launcher does and decodes every blob in full. Prints\n"
     "one line per problem and exits with 1 when there is any. FILE may be a release (as for\n"
     "list): then the launcher's own checks are made too (the seal against the package and\n"
     "the bitmap, the trailer, a bitmap the splash can show), the exit code the launcher would\n"
     "end with is named, and an unsigned setup.exe is a warning.\n"
     "  --codepage CP  the target users' ANSI code page: names are shown in it, and names that\n"
     "                 differ only in the case of letters beyond ASCII are found too\n"
     "  --json         one JSON document: ok, and each problem with its code, entry and message\n"
     "  --werror       warnings (an unsigned release) are problems\n"},
    {"extract",
     "usage: setuppack extract FILE DEST_DIR [--codepage CP] [--werror] [--splash BMP]\n",
     "Unpacks FILE, a package or a release (as for list), into DEST_DIR (new or empty) with the\n"
     "launcher's own code. On any failure, and when interrupted, nothing is left in DEST_DIR\n"
     "or in the temporary directory.\n"
     "  --splash BMP   also write the release's splash bitmap to BMP\n"
     "  --codepage CP  show names in problem lines in ANSI code page CP\n"
     "  --werror       what the launcher passes over in a package (a warning each) is an error:\n"
     "                 exit 1, and nothing is left in DEST_DIR\n"},
    {"bundle",
     "usage: setuppack bundle SOURCE [-o OUT] [--single-file] [--stub FILE] [--splash FILE.bmp]\n"
     "         [--icon FILE.ico] [--version 1.2.3] [--product-version TEXT] [--product TEXT]\n"
     "         [--company TEXT] [--description TEXT] [--copyright TEXT] [--codepage CP] [--fast]\n"
     "         [--werror]\n"
     "         [--exclude GLOB]... [--files-from LIST] [--follow-links]\n",
     "Makes a release from SOURCE, a payload folder (packed as create does) or a package.\n"
     "The folders OUT needs are created.\n"
     "By default OUT is a folder (release) holding setup.exe, Pack.qvd and setup.bmp, the\n"
     "launcher sealed to the SHA-256 of the other two. With --single-file OUT is one file\n"
     "(setup.exe): the sealed launcher with the package and the splash appended. Sign setup.exe\n"
     "afterwards; the signature covers everything the launcher will read.\n"
     "  --stub FILE        the launcher to start from (default: the one installed with the tools)\n"
     "  --splash FILE      the splash bitmap, a BMP file (default: no splash)\n"
     "  --icon FILE        an .ico file: the launcher's icon\n"
     "  --version, --product, --company, --description, --copyright TEXT\n"
     "                     the launcher's version information (text in UTF-8); here -V prints\n"
     "                     setuppack's own version. The description defaults to\n"
     "                     \"<product> Setup\"\n"
     "  --product-version TEXT\n"
     "                     the product version as text (1.2.3-beta); the numbers stay --version's\n"
     "  --codepage, --fast, --werror, --exclude, --files-from, --follow-links\n"
     "                     as for create, when SOURCE is a payload folder\n"},
    {"compress", "usage: setuppack compress IN OUT [--fast]\n",
     "Compresses the file IN into the blob OUT; '-' reads standard input or writes standard\n"
     "output.\n"
     "  --fast         greedy parse: faster, slightly larger\n"},
    {"decompress", "usage: setuppack decompress IN OUT\n",
     "Decompresses the blob IN into OUT; fails on a damaged blob and writes nothing then. '-'\n"
     "reads standard input or writes standard output (once the blob has decoded in full).\n"},
};

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands)
    if (name == command.name) return &command;
  return nullptr;
}

void PrintHelp(const Command* command) {
  if (command != nullptr)
    printf("%s%s", command->synopsis, command->details);
  else
    printf("%s%s", kSynopsis, kDetails);
}

// What a wrong command line gets: the reason, and the synopsis of the command it was for.
int UsageError(const std::string& message, const Command* command) {
  fprintf(stderr, "setuppack: %s\n%s'setuppack help%s%s' tells more.\n", message.c_str(),
          command != nullptr ? command->synopsis : kSynopsis, command != nullptr ? " " : "",
          command != nullptr ? command->name : "");
  return packer::kExitUsage;
}

// Arguments arrive as UTF-8 on every system (see Utf8Arguments for Windows).
fs::path PathArgument(const std::string& text) {
  return fs::u8path(text);
}

// The arguments the parser found, for whichever command was chosen.
struct Parsed {
  Options options;
  packer::BundleOptions bundle;
  std::string stub, splash, icon, splashOut;
  bool fast = false;
  std::string output, filesFrom, helpTopic;
  std::vector<std::string> arguments = std::vector<std::string>(2);
};

void AddCodePage(CLI::App* command, Parsed* parsed) {
  command->add_option("--codepage", parsed->options.codePage)->check(CLI::Range(1, 65535));
}

CLI::App* AddCommand(CLI::App* app, const char* name, std::vector<std::string> arguments,
                     Parsed* parsed) {
  CLI::App* command = app->add_subcommand(name);
  // Options of the whole tool after the command's name.
  command->fallthrough();
  for (size_t i = 0; i < arguments.size(); ++i)
    command->add_option(arguments[i], parsed->arguments[i])->required();
  return command;
}

int Dispatch(const std::string& name, const Parsed& parsed) {
  const Options& options = parsed.options;
  fs::path first = PathArgument(parsed.arguments[0]);
  fs::path second = PathArgument(parsed.arguments[1]);
  if (name == "create") return packer::CreateCommand(first, options);
  if (name == "list") return packer::ListCommand(first, options);
  if (name == "verify") return packer::VerifyCommand(first, options);
  if (name == "extract") return packer::ExtractCommand(first, second, options);
  if (name == "bundle") {
    packer::BundleOptions bundle = parsed.bundle;
    bundle.source = first;
    bundle.output = options.output;
    for (const auto& path : {std::make_pair(&parsed.stub, &bundle.stub),
                             std::make_pair(&parsed.splash, &bundle.splash),
                             std::make_pair(&parsed.icon, &bundle.icon)})
      if (!path.first->empty()) *path.second = PathArgument(*path.first);
    return packer::BundleCommand(bundle, options);
  }
  if (name == "compress") return packer::CompressCommand(first, second, options);
  return packer::DecompressCommand(first, second, options);
}

int Main(const std::vector<std::string>& arguments) {
  packer::PrepareConsole();
  Parsed parsed;
  Options& options = parsed.options;

  CLI::App app("", "setuppack");
  // "/x" is a path on every system here (a Unix path under Wine, a drive's root on Windows),
  // never an option. Set before the commands are added, which inherit it.
  app.allow_windows_style_options(false);
  app.set_help_flag("-h,--help");
  app.set_version_flag("-V,--version", "setuppack " SETUP_LAUNCHER_VERSION);
  // Anything not understood is collected and answered below with the command's own usage.
  app.allow_extras();
  app.require_subcommand(0, 1);
  // As in other tools, and so that a script's defaults can be overridden by appending: an
  // option given twice takes its last value. Commands added below inherit this.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("-q,--quiet", options.quiet);
  app.add_flag("-v,--verbose", options.verbose);
  app.add_option("--jobs", options.jobs)->check(CLI::Range(1u, 256u));

  // bundle makes a package as create does, from the same options.
  CLI::App* bundle = AddCommand(&app, "bundle", {"SOURCE"}, &parsed);
  for (CLI::App* packing : {AddCommand(&app, "create", {"SRC_DIR"}, &parsed), bundle}) {
    packing->add_option("-o,--output", parsed.output);
    packing->add_flag("--fast", parsed.fast);
    AddCodePage(packing, &parsed);
    packing->add_flag("--werror", options.werror);
    packing->add_option("--exclude", options.exclude)->allow_extra_args(false)->take_all();
    packing->add_option("--files-from", parsed.filesFrom);
    packing->add_flag("--follow-links", options.followLinks);
  }
  bundle->add_flag("--single-file", parsed.bundle.singleFile);
  bundle->add_option("--stub", parsed.stub);
  bundle->add_option("--splash", parsed.splash);
  bundle->add_option("--icon", parsed.icon);
  // The launcher's version information; setuppack's own version is -V here.
  bundle->add_option("--version", parsed.bundle.version);
  bundle->add_option("--product", parsed.bundle.product);
  bundle->add_option("--product-version", parsed.bundle.productVersion);
  bundle->add_option("--company", parsed.bundle.company);
  bundle->add_option("--description", parsed.bundle.description);
  bundle->add_option("--copyright", parsed.bundle.copyright);
  for (const char* name : {"list", "verify"}) {
    CLI::App* examine = AddCommand(&app, name, {"FILE"}, &parsed);
    AddCodePage(examine, &parsed);
    examine->add_flag("--json", options.json);
    if (std::string(name) == "verify") examine->add_flag("--werror", options.werror);
  }
  CLI::App* extract = AddCommand(&app, "extract", {"FILE", "DEST_DIR"}, &parsed);
  AddCodePage(extract, &parsed);
  extract->add_flag("--werror", options.werror);
  extract->add_option("--splash", parsed.splashOut);
  AddCommand(&app, "compress", {"IN", "OUT"}, &parsed)->add_flag("--fast", parsed.fast);
  AddCommand(&app, "decompress", {"IN", "OUT"}, &parsed);
  CLI::App* help = app.add_subcommand("help");
  help->add_option("COMMAND", parsed.helpTopic);

  // "-o=x" would name a file "=x", as with getopt: surely not what was meant.
  auto end = std::find(arguments.begin(), arguments.end(), "--");
  for (auto at = arguments.begin() + (arguments.empty() ? 0 : 1); at < end; ++at)
    if (at->rfind("-o=", 0) == 0)
      return UsageError(
          "'" + *at + "': write -o " + at->substr(3) + " or --output=" + at->substr(3), nullptr);
  // The parser takes the arguments last first, without the program's name.
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  if (!reversed.empty()) reversed.pop_back();
  const Command* chosen = nullptr;
  auto choose = [&] {
    std::vector<CLI::App*> commands = app.get_subcommands();
    chosen = commands.empty() ? nullptr : FindCommand(commands[0]->get_name());
  };
  try {
    app.parse(reversed);
    choose();
  } catch (const CLI::CallForHelp&) {
    choose();
    PrintHelp(chosen);
    return packer::kExitClean;
  } catch (const CLI::CallForVersion& version) {
    printf("%s\n", version.what());
    return packer::kExitClean;
  } catch (const CLI::ParseError& error) {
    choose();
    return UsageError(error.what(), chosen);
  }
  std::vector<std::string> extras = app.remaining();
  if (app.got_subcommand(help) && extras.empty()) {
    const Command* topic = FindCommand(parsed.helpTopic);
    if (parsed.helpTopic.empty() || topic != nullptr) {
      PrintHelp(topic);
      return packer::kExitClean;
    }
    return UsageError("no command '" + parsed.helpTopic + "'", nullptr);
  }
  if (!extras.empty()) {
    const std::string& extra = extras[0];
    // After "--" everything is an argument, whatever it looks like.
    bool afterEnd = std::find(arguments.begin(), end, extra) == end;
    if (extra.size() > 1 && extra[0] == '-' && !afterEnd)
      return UsageError("unknown option '" + extra + "'" +
                            (chosen != nullptr ? std::string(" for ") + chosen->name : ""),
                        chosen);
    if (chosen == nullptr) return UsageError("unknown command '" + extra + "'", nullptr);
    return UsageError("unexpected argument '" + extra + "'", chosen);
  }
  if (chosen == nullptr) return UsageError("no command given", nullptr);

  if (options.quiet) options.verbose = false;
  if (parsed.fast) options.parse = PARSE_GREEDY;
  if (!parsed.output.empty()) options.output = PathArgument(parsed.output);
  if (!parsed.filesFrom.empty()) options.filesFrom = PathArgument(parsed.filesFrom);
  if (!parsed.splashOut.empty()) options.splash = PathArgument(parsed.splashOut);
  std::string name = chosen->name;
  // Compressed bytes on a terminal help nobody and may upset it.
  bool binaryOut = (name == "create" && parsed.output == "-") ||
                   (name == "compress" && parsed.arguments[1] == "-");
  if (binaryOut && packer::IsTerminal(stdout)) {
    fprintf(stderr, "setuppack: standard output is a terminal; redirect it to write %s\n",
            name == "create" ? "a package" : "a blob");
    return packer::kExitUsage;
  }
  try {
    return Dispatch(name, parsed);
  } catch (const Failure& failure) {
    fprintf(stderr, "setuppack: %s\n", failure.what());
    return failure.exitCode();
  } catch (const fs::filesystem_error& failure) {
    fprintf(stderr, "setuppack: %s\n", failure.what());
    return packer::kExitFile;
  } catch (const std::bad_alloc&) {
    std::string inputs;
    for (const std::string& argument : parsed.arguments)
      if (!argument.empty()) inputs += " " + argument;
    fprintf(stderr, "setuppack: out of memory in %s%s\n", name.c_str(), inputs.c_str());
  } catch (const std::exception& failure) {
    fprintf(stderr, "setuppack: %s\n", failure.what());
  }
  return packer::kExitProblems;
}

}  // namespace

#ifdef _WIN32
// Built with -municode: the arguments come as the user typed them, whatever the code page.
int wmain(int argc, wchar_t** argv) {
  return Main(packer::Utf8Arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
  return Main(std::vector<std::string>(argv, argv + argc));
}
#endif
