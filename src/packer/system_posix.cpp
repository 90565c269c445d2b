#include <iconv.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "packer/system.h"

namespace packer {

namespace {

void (*g_cleanUp)() = nullptr;

void HandleSignal(int signal) {
  if (g_cleanUp != nullptr) g_cleanUp();
  _exit(128 + signal);
}

}  // namespace

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

FILE* CreateNewFile(const std::filesystem::path& path) {
  return fopen(path.c_str(), "wbx");
}

bool ToTargetName(const std::filesystem::path& name, int codePage, std::string* out,
                  std::string* error) {
  // Names on this side are bytes, taken to be UTF-8 as on any current system.
  const std::string bytes = name.string();
  bool ascii = true;
  for (unsigned char c : bytes) ascii = ascii && c < 0x80;
  if (ascii) {
    *out = bytes;
    return true;
  }
  if (codePage == 0) {
    *error = "name is not plain ASCII; name the target code page with --codepage";
    return false;
  }
  std::string target = "CP" + std::to_string(codePage);
  iconv_t converter = iconv_open(target.c_str(), "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    *error = "code page " + std::to_string(codePage) + " is not known here";
    return false;
  }
  std::string input = bytes;
  std::string output(input.size() * 4 + 4, '\0');
  char* in = &input[0];
  size_t inLeft = input.size();
  char* outStart = &output[0];
  char* outNext = outStart;
  size_t outLeft = output.size();
  size_t result = iconv(converter, &in, &inLeft, &outNext, &outLeft);
  iconv_close(converter);
  if (result == static_cast<size_t>(-1) || inLeft != 0) {
    *error = "name cannot be written in code page " + std::to_string(codePage);
    return false;
  }
  out->assign(outStart, outNext);
  return true;
}

void OnInterrupt(void (*cleanUp)()) {
  g_cleanUp = cleanUp;
  signal(SIGINT, HandleSignal);
  signal(SIGTERM, HandleSignal);
  signal(SIGHUP, HandleSignal);
}

}  // namespace packer
