#include "packer/cli.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "common/code_page.h"
#include "common/platform.h"
#include "packer/system.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

// What to take away if the run is interrupted, in fixed slots: the handler reads them without
// locks or allocation, whatever the interrupted thread was doing. A slot's path is written
// before its state says it is in use.
enum SlotState { SLOT_FREE, SLOT_FILLING, SLOT_WHOLE, SLOT_CONTENTS };
const size_t kSlotPath = 4096;

struct PendingRemoval {
  std::atomic<int> state{SLOT_FREE};
  PathChar path[kSlotPath];
};

PendingRemoval g_pending[8];

void RemovePending() {
  for (PendingRemoval& slot : g_pending) {
    int state = slot.state.load();
    if (state == SLOT_WHOLE || state == SLOT_CONTENTS) RemoveNow(slot.path, state == SLOT_CONTENTS);
  }
}

// Characters that steer a terminal or the order of a line instead of showing: C0 and C1
// controls, DEL, line and paragraph separators, and the bidirectional marks, embeddings,
// overrides and isolates.
bool Steers(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// DecodeCodePage's stand-in for a byte that starts no character.
bool IsByteEscape(char32_t c) {
  return c >= 0xDC00 && c <= 0xDCFF;
}

void AppendEscape(std::string* out, const char* format, unsigned value) {
  char text[16];
  snprintf(text, sizeof text, format, value);
  *out += text;
}

// UTF-8, the byte escapes included as three-byte sequences (they only ever serve as keys).
void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | c >> 6));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | c >> 12));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | c >> 18));
    out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

char32_t FoldCase(char32_t c) {
  if (c < 0x80) return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
  // NTFS upper-cases UTF-16 units through a table of 65536 entries: characters beyond the Basic
  // Multilingual Plane keep their case, and so do the byte escapes.
  if (c > 0xFFFF || (c >= 0xD800 && c <= 0xDFFF)) return c;
  return UpperCase(c);
}

}  // namespace

RemovedOnInterrupt::RemovedOnInterrupt(const fs::path& path, bool contentsOnly) {
  // An empty path would turn into the working directory.
  if (path.empty()) return;
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  const fs::path::string_type& text = error ? path.native() : absolute.native();
  if (text.size() >= kSlotPath) return;
  for (int i = 0; i < static_cast<int>(sizeof g_pending / sizeof g_pending[0]) && slot_ < 0; ++i) {
    int expected = SLOT_FREE;
    if (g_pending[i].state.compare_exchange_strong(expected, SLOT_FILLING)) slot_ = i;
  }
  if (slot_ < 0) return;
  std::copy(text.begin(), text.end(), g_pending[slot_].path);
  g_pending[slot_].path[text.size()] = 0;
  OnInterrupt(RemovePending);
  g_pending[slot_].state.store(contentsOnly ? SLOT_CONTENTS : SLOT_WHOLE);
}

RemovedOnInterrupt::~RemovedOnInterrupt() {
  if (slot_ >= 0) g_pending[slot_].state.store(SLOT_FREE);
}

void Warn(const Options& options, const std::string& message) {
  if (!options.quiet) fprintf(stderr, "setuppack: warning: %s\n", message.c_str());
}

Progress::Progress(const Options& options, const char* verb, uint64_t total)
    : enabled_(!options.quiet && StderrIsTerminal()),
      verb_(verb),
      total_(total),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

Progress::~Progress() {
  if (shown_) fprintf(stderr, "\r%*s\r", 72, "");
}

void Progress::Show() {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  // Quiet for the first half second, so quick jobs print nothing at all.
  if (now - start_ < std::chrono::milliseconds(500) || now - last_ < std::chrono::milliseconds(100))
    return;
  last_ = now;
  double seconds = std::chrono::duration<double>(now - start_).count();
  uint64_t done = done_.load();
  fprintf(stderr, "\r%s %s of %s, %.1f MB/s   ", verb_, FormatBytes(done).c_str(),
          FormatBytes(total_).c_str(), static_cast<double>(done) / 1e6 / seconds);
  fflush(stderr);
  shown_ = true;
}

AtomicOutput::AtomicOutput(const std::filesystem::path& target) : target_(target) {
  std::filesystem::path directory = target.parent_path();
  if (directory.empty()) directory = ".";
  if (std::filesystem::is_directory(target)) throw Failure(target.string() + ": is a directory");
  // A fresh name that nobody else is writing: the target's name, a dot and a counter.
  for (int n = 0; n < 1000 && file_ == nullptr; ++n) {
    temporary_ = directory / ("." + target.filename().string() + ".part" + std::to_string(n));
    std::error_code ignored;
    if (std::filesystem::exists(temporary_, ignored)) continue;
    file_ = CreateNewFile(temporary_);
  }
  if (file_ == nullptr) throw Failure(target.string() + ": cannot create a file beside it");
  pending_.emplace(temporary_, false);
}

AtomicOutput::~AtomicOutput() {
  if (file_ != nullptr) fclose(file_);
  std::error_code ignored;
  if (!temporary_.empty()) std::filesystem::remove(temporary_, ignored);
}

void AtomicOutput::Write(const void* data, size_t size) {
  if (size > 0 && fwrite(data, 1, size, file_) != size)
    throw Failure(target_.string() + ": write failed (disk full?)");
}

void AtomicOutput::WriteAt(uint64_t position, const void* data, size_t size) {
  if (fseek(file_, static_cast<long>(position), SEEK_SET) != 0)
    throw Failure(target_.string() + ": seek failed");
  Write(data, size);
  fseek(file_, 0, SEEK_END);
}

void AtomicOutput::Commit() {
  int closed = fclose(file_);
  file_ = nullptr;
  if (closed != 0) throw Failure(target_.string() + ": write failed (disk full?)");
  std::error_code error;
  std::filesystem::rename(temporary_, target_, error);
  if (error) throw Failure(target_.string() + ": cannot be replaced: " + error.message());
  temporary_.clear();
  pending_.reset();
}

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure(path.string() + ": cannot be opened");
  std::vector<uint8_t> bytes;
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) throw Failure(path.string() + ": cannot be read");
  in.seekg(0, std::ios::beg);
  bytes.resize(static_cast<size_t>(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size))
    throw Failure(path.string() + ": cannot be read");
  return bytes;
}

std::string PortablePath(const std::filesystem::path& path) {
  char out[PATH_BUFFER];
  if (!ToPortablePath(path.string().c_str(), out, MAX_PATH))
    throw Failure(path.string() + ": path too long for the launcher's " + std::to_string(MAX_PATH) +
                  "-byte limit");
  return out;
}

std::string FormatBytes(uint64_t bytes) {
  char text[32];
  if (bytes < 10000)
    snprintf(text, sizeof text, "%" PRIu64 " B", bytes);
  else if (bytes < 10000000)
    snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1e3);
  else
    snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

void UseCodePage(int codePage) {
  if (codePage != 0 && !IsKnownCodePage(codePage))
    throw Failure("code page " + std::to_string(codePage) + " is not known here");
  // UTF-8 names have no lead bytes and are what the POSIX layer writes anyway.
  SetNameCodePage(codePage == 65001 ? 0 : codePage);
}

std::string PrintableName(const std::string& name, int codePage) {
  std::string out;
  std::u32string characters;
  if (codePage == 0 || !DecodeCodePage(name, codePage, &characters)) {
    for (unsigned char byte : name)
      if (byte >= 0x20 && byte < 0x7F)
        out.push_back(static_cast<char>(byte));
      else
        AppendEscape(&out, "\\x%02x", byte);
    return out;
  }
  for (char32_t c : characters)
    if (IsByteEscape(c))
      AppendEscape(&out, "\\x%02x", static_cast<unsigned>(c - 0xDC00));
    else if (Steers(c))
      AppendEscape(&out, c < 0x100 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(c));
    else
      AppendUtf8(&out, c);
  return out;
}

std::string CaseKey(const std::string& name, int codePage) {
  std::u32string characters;
  if (codePage == 0 || !DecodeCodePage(name, codePage, &characters)) {
    // Only ASCII letters, and only those behind an ASCII byte: in a double-byte code page the
    // byte after a lead byte (0x81 or above) may be the second half of a character, and folding
    // it would merge two different characters.
    std::string key = name;
    unsigned char previous = 0;
    for (char& c : key) {
      unsigned char byte = static_cast<unsigned char>(c);
      if (byte >= 'a' && byte <= 'z' && previous < 0x80) c = static_cast<char>(byte - 'a' + 'A');
      previous = byte;
    }
    return key;
  }
  std::string key;
  for (char32_t c : characters) AppendUtf8(&key, FoldCase(c));
  return key;
}

}  // namespace packer
