// setuppack bundle: a release made in one step, from a payload folder or a package, with the
// launcher stub branded (icon, version information) and sealed to what it will load.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "packer/options.h"

namespace packer {

struct BundleOptions {
  std::filesystem::path source;  // a payload folder, or a package made before
  std::filesystem::path stub;    // empty: the launcher installed with the tools
  // The release folder; with `singleFile`, the one file. Empty: "release" or "setup.exe".
  std::filesystem::path output;
  bool singleFile = false;
  std::filesystem::path splash;  // a BMP; empty: no splash
  std::filesystem::path icon;    // an .ico file; empty: the stub's own icon, if any
  // The version information, in UTF-8; all empty: the stub's own is kept.
  std::string version;         // "1.2.3", up to four numbers
  std::string productVersion;  // any text; empty: `version`
  std::string product;
  std::string company;
  std::string description;  // empty: "<product> Setup"
  std::string copyright;
};

// `options` carries what creating the package takes (code page, parse, jobs) and --quiet.
int BundleCommand(const BundleOptions& bundle, const Options& options);

// For tests: called once the package of a folder release is in place, before the launcher is
// sealed, so that a test can change the file in that moment.
extern void (*g_packageWritten)(const std::filesystem::path& package);

// The launcher stub the tools were installed with, or the one of the build tree they run from;
// throws Failure naming the places looked at when there is none.
std::filesystem::path DefaultStub();

}  // namespace packer
