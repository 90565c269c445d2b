#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <locale.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cstdlib>
#include <cstring>

#include "common/code_page.h"
#include "common/platform.h"
#include "packer/failure.h"
#include "packer/system.h"

namespace packer {

namespace {

void (*g_cleanUp)() = nullptr;

void HandleSignal(int signal) {
  if (g_cleanUp != nullptr) g_cleanUp();
  _exit(128 + signal);
}

std::string IconvName(int codePage) {
  return codePage == 65001 ? "UTF-8" : "CP" + std::to_string(codePage);
}

// `text` converted from the character set `from` to `to`; false when any of it cannot be.
bool Recode(const std::string& text, const std::string& from, const std::string& to,
            std::string* out) {
  iconv_t converter = iconv_open(to.c_str(), from.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input = text;
  out->assign(input.size() * 4 + 4, '\0');
  char* in = &input[0];
  char* next = &(*out)[0];
  size_t inLeft = input.size(), outLeft = out->size();
  size_t result = iconv(converter, &in, &inLeft, &next, &outLeft);
  iconv_close(converter);
  out->resize(out->size() - outLeft);
  return result != static_cast<size_t>(-1) && inLeft == 0;
}

// Empties the directory open as `fd`, never leaving it: entries are taken relative to it, and a
// link is unlinked itself. getdents64 into a buffer on the stack instead of readdir, which
// allocates. Entries removed while the listing runs may hide others from it, so it starts over
// until a pass finds nothing left to remove.
void EmptyDirectoryNow(int fd, int depth) {
  alignas(8) char buffer[4096];
  for (int pass = 0; pass < 64; ++pass) {
    bool removed = false;
    if (lseek(fd, 0, SEEK_SET) != 0) return;
    for (;;) {
      ssize_t got = getdents64(fd, buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t at = 0; at < got;) {
        const struct dirent64* record = reinterpret_cast<const struct dirent64*>(buffer + at);
        at += record->d_reclen;
        const char* name = record->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        if (unlinkat(fd, name, 0) == 0) {
          removed = true;
          continue;
        }
        // Bounded: a path the core made holds at most MAX_PATH bytes, so its depth is bounded too.
        if (depth >= 200) continue;
        int child = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) continue;
        EmptyDirectoryNow(child, depth + 1);
        close(child);
        if (unlinkat(fd, name, AT_REMOVEDIR) == 0) removed = true;
      }
    }
    if (!removed) return;
  }
}

}  // namespace

void PrepareConsole() {}

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

bool IsTerminal(FILE* stream) {
  return isatty(fileno(stream)) != 0;
}

void UseBinaryMode(FILE*) {}

FILE* OpenForReading(const std::filesystem::path& path) {
  return fopen(path.c_str(), "rb");
}

std::filesystem::path ExecutablePath() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}

int TerminalColumns() {
  struct winsize size;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void WriteStderrNow(const char* text, size_t size) {
  while (size > 0) {
    ssize_t wrote = write(STDERR_FILENO, text, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    text += wrote;
    size -= static_cast<size_t>(wrote);
  }
}

FILE* CreateNewFile(const std::filesystem::path& path, NewFile life) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  if (life == NewFile::unnamed) unlink(path.c_str());
  FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) {
    close(fd);
    unlink(path.c_str());
  }
  return file;
}

bool PutInPlace(FILE* file, const std::filesystem::path& temporary,
                const std::filesystem::path& target, std::string* error) {
  if (fclose(file) != 0) {
    *error = "write failed (disk full?)";
    return false;
  }
  if (rename(temporary.c_str(), target.c_str()) != 0) {
    *error = std::string("cannot be replaced: ") + strerror(errno);
    return false;
  }
  return true;
}

void GiveUsualAccess(FILE* file) {
  // The umask can only be read by setting it; this runs once the workers are done.
  const mode_t mask = umask(077);
  umask(mask);
  fchmod(fileno(file), 0666 & ~mask);
}

std::filesystem::path StandardOutputFile() {
  struct stat status;
  if (fstat(STDOUT_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) return {};
  // The kernel's name for the open file: it stays that file whatever is renamed meanwhile.
  return "/proc/self/fd/1";
}

bool ToCorePath(const std::filesystem::path& path, std::string* out) {
  char portable[PATH_BUFFER];
  if (!ToPortablePath(path.c_str(), portable, MAX_PATH)) return false;
  *out = portable;
  return true;
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
  if (!IsKnownCodePage(codePage)) {
    *error = "code page " + std::to_string(codePage) + " is not known here";
    return false;
  }
  // Only a name that comes back as it went is written: the converter maps some characters one
  // way only ("¥" to the byte of '\\' in 932), which Windows would not, and which would name
  // another file there.
  std::string back;
  if (!Recode(bytes, "UTF-8", IconvName(codePage), out) ||
      !Recode(*out, IconvName(codePage), "UTF-8", &back) || back != bytes) {
    *error = "name cannot be written in code page " + std::to_string(codePage);
    return false;
  }
  return true;
}

std::filesystem::path FromPortablePath(const std::string& portable) {
  // The core spells paths in the names' code page, and the POSIX layer turns them into UTF-8.
  std::string native = portable;
  if (NameCodePage() != 0 && !Recode(portable, IconvName(NameCodePage()), "UTF-8", &native))
    return {};
  for (char& c : native)
    if (c == '\\') c = '/';
  return native;
}

bool IsKnownCodePage(int codePage) {
  iconv_t converter = iconv_open("UTF-32LE", IconvName(codePage).c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(converter);
  return true;
}

bool DecodeCodePage(const std::string& bytes, int codePage, std::u32string* out) {
  iconv_t converter = iconv_open("UTF-32LE", IconvName(codePage).c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  out->clear();
  std::string input = bytes;
  char* in = &input[0];
  size_t inLeft = input.size();
  while (inLeft > 0) {
    unsigned char buffer[256];
    char* next = reinterpret_cast<char*>(buffer);
    size_t outLeft = sizeof buffer;
    size_t result = iconv(converter, &in, &inLeft, &next, &outLeft);
    for (size_t at = 0; at + 4 <= sizeof buffer - outLeft; at += 4)
      out->push_back(static_cast<char32_t>(buffer[at] | buffer[at + 1] << 8 | buffer[at + 2] << 16 |
                                           buffer[at + 3] << 24));
    if (result == static_cast<size_t>(-1) && errno != E2BIG) {
      // No character starts here (or the name ends inside one): this byte stands for itself.
      out->push_back(0xDC00 + static_cast<unsigned char>(*in));
      ++in;
      --inLeft;
      iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(converter);
  return true;
}

char32_t UpperCase(char32_t c) {
  // The C.UTF-8 locale carries Unicode's simple case mappings; a system whose copy lacks them
  // (e with acute accent stays small) cannot fold names and says so instead of guessing.
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  static const bool usable =
      unicode != static_cast<locale_t>(0) && towupper_l(0xE9, unicode) == 0xC9;
  if (!usable) throw Failure("no Unicode case tables here (locale C.UTF-8) to compare names with");
  return static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), unicode));
}

void RemoveNow(const PathChar* path, bool keepTop) {
  if (!keepTop && unlink(path) == 0) return;
  // A directory to be kept is the one the user named, which may be a link to it.
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (keepTop ? 0 : O_NOFOLLOW));
  if (fd < 0) return;
  EmptyDirectoryNow(fd, 0);
  close(fd);
  if (!keepTop) rmdir(path);
}

void OnInterrupt(void (*cleanUp)()) {
  g_cleanUp = cleanUp;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = HandleSignal;
  sigemptyset(&action.sa_mask);
  const int kStops[] = {SIGINT, SIGTERM, SIGHUP};
  // A second stop while cleaning up waits until the first is done.
  for (int stop : kStops) sigaddset(&action.sa_mask, stop);
  for (int stop : kStops) {
    struct sigaction previous;
    // Started with the signal ignored (nohup, a background job): the user wants it to pass.
    if (sigaction(stop, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(stop, &action, nullptr);
  }
}

CoreAtWork::CoreAtWork() {}

CoreAtWork::~CoreAtWork() {}

bool Stopping() {
  return false;
}

}  // namespace packer
