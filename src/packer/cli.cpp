#include "packer/cli.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <new>
#include <random>
#include <system_error>

#include "common/code_page.h"
#include "common/platform.h"
#include "packer/system.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

// What to take away if the run is interrupted, in fixed slots: the handler reads them without
// locks or allocation, whatever the interrupted thread was doing. On Windows the handler runs on
// a thread of its own while the main thread goes on, and may find a slot being emptied and
// filled again as it reads: every change of a slot's state also counts up its generation, in one
// word, and the handler acts on a path only if that word was the same before and after it
// copied the path.
enum SlotState { SLOT_FREE, SLOT_FILLING, SLOT_WHOLE, SLOT_CONTENTS };
const size_t kSlotPath = 4096;

struct PendingRemoval {
  std::atomic<uint32_t> word{SLOT_FREE};  // generation << 2 | state
  std::atomic<PathChar> path[kSlotPath];
};

PendingRemoval g_pending[8];

// The progress line on standard error: the columns it covers, 0 when none is shown. Whoever
// writes a line while it may be showing holds the lock and takes it away first.
std::mutex g_lineLock;
std::atomic<size_t> g_lineColumns{0};

// Spaces over the line and back to its start, leaving the cursor where the line began.
void EraseLineLocked() {
  size_t columns = g_lineColumns.exchange(0);
  if (columns == 0) return;
  // Past a narrowed terminal's edge the spaces would wrap onto a row of their own.
  int width = TerminalColumns();
  if (width > 1) columns = std::min(columns, static_cast<size_t>(width - 1));
  fputs(("\r" + std::string(columns, ' ') + "\r").c_str(), stderr);
  fflush(stderr);
}

// For the interrupt handler: no allocation, no lock, so that the shell's prompt after Ctrl-C
// starts on a clean row.
void EraseLineNow() {
  char text[258];
  size_t columns = std::min<size_t>(g_lineColumns.exchange(0), sizeof text - 2);
  if (columns == 0) return;
  text[0] = '\r';
  std::fill(text + 1, text + 1 + columns, ' ');
  text[columns + 1] = '\r';
  WriteStderrNow(text, columns + 2);
}

uint32_t Changed(uint32_t word, SlotState state) {
  return ((word >> 2) + 1) << 2 | state;
}

void RemovePending() {
  EraseLineNow();
  PathChar path[kSlotPath];
  for (PendingRemoval& slot : g_pending) {
    uint32_t before = slot.word.load();
    int state = before & 3;
    if (state != SLOT_WHOLE && state != SLOT_CONTENTS) continue;
    for (size_t i = 0; i < kSlotPath; ++i)
      if ((path[i] = slot.path[i].load(std::memory_order_relaxed)) == 0) break;
    path[kSlotPath - 1] = 0;
    if (slot.word.load() == before) RemoveNow(path, state == SLOT_CONTENTS);
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
    uint32_t word = g_pending[i].word.load();
    if ((word & 3) == SLOT_FREE &&
        g_pending[i].word.compare_exchange_strong(word, Changed(word, SLOT_FILLING)))
      slot_ = i;
  }
  if (slot_ < 0) return;
  PendingRemoval& slot = g_pending[slot_];
  for (size_t i = 0; i < text.size(); ++i) slot.path[i].store(text[i], std::memory_order_relaxed);
  slot.path[text.size()].store(0, std::memory_order_relaxed);
  OnInterrupt(RemovePending);
  slot.word.store(Changed(slot.word.load(), contentsOnly ? SLOT_CONTENTS : SLOT_WHOLE));
}

RemovedOnInterrupt::~RemovedOnInterrupt() {
  if (slot_ >= 0) g_pending[slot_].word.store(Changed(g_pending[slot_].word.load(), SLOT_FREE));
}

void Warn(const Options& options, const std::string& message) {
  ++*options.warnings;
  if (options.werror)
    PrintLine(stderr, "setuppack: error (--werror): " + message);
  else if (!options.quiet)
    PrintLine(stderr, "setuppack: warning: " + message);
}

void FailOnWarnings(const Options& options) {
  int warnings = options.warnings->load();
  if (options.werror && warnings > 0)
    throw Failure(std::to_string(warnings) + " warning" + (warnings == 1 ? "" : "s") +
                  ", fatal with --werror; nothing was written");
}

bool IsStandardStream(const fs::path& path) {
  return path.native().size() == 1 && path.native()[0] == '-';
}

void PrintLine(FILE* stream, const std::string& line) {
  std::lock_guard<std::mutex> hold(g_lineLock);
  EraseLineLocked();
  fputs(line.c_str(), stream);
  fputc('\n', stream);
  // Standard output on a terminal is line-buffered already; elsewhere order does not show.
}

namespace {

using Clock = std::chrono::steady_clock;

// Quick jobs print nothing: the first line waits this long.
const Clock::duration kFirstDraw = std::chrono::milliseconds(200);
// At most ten lines a second: faster is unreadable, and costs a slow console.
const Clock::duration kRedraw = std::chrono::milliseconds(100);
// The throughput is taken over this much of the recent past: it follows a change of pace (small
// files, then large ones) without jumping at every redraw.
const Clock::duration kRateWindow = std::chrono::seconds(5);

std::string TimeLeft(double seconds) {
  // Past four days an estimate tells nothing.
  if (!(seconds >= 0 && seconds < 4 * 86400.0)) return "";
  unsigned long whole = static_cast<unsigned long>(seconds + 0.5);
  char text[32];
  if (whole < 3600)
    snprintf(text, sizeof text, "%lu:%02lu left", whole / 60, whole % 60);
  else
    snprintf(text, sizeof text, "%lu:%02lu:%02lu left", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

}  // namespace

std::string ProgressLine(const char* verb, uint64_t done, uint64_t total, double bytesPerSecond,
                         int columns) {
  // Whole percents, rounded down: 100% only when everything is done.
  unsigned percent =
      done >= total
          ? 100
          : static_cast<unsigned>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
  if (percent > 99 && done < total) percent = 99;
  char head[16];
  snprintf(head, sizeof head, " %3u%%", percent);
  std::string bytes = "  " + FormatBytes(done) + " of " + FormatBytes(total);
  std::string rate, left;
  if (bytesPerSecond >= 1) {
    rate = "  " + FormatBytes(static_cast<uint64_t>(bytesPerSecond)) + "/s";
    std::string time =
        TimeLeft(static_cast<double>(total - std::min(done, total)) / bytesPerSecond);
    if (!time.empty() && done < total) left = "  " + time;
  }
  const size_t room = columns > 1 ? static_cast<size_t>(columns - 1) : 0;
  std::string line;
  for (int dropped = 0; dropped <= 3; ++dropped) {
    line = std::string(verb) + head + (dropped < 1 ? bytes : "") + (dropped < 2 ? rate : "") +
           (dropped < 3 ? left : "");
    if (line.size() <= room) return line;
  }
  line.resize(room);
  return line;
}

bool Progress::Wanted(const Options& options) {
  return !options.quiet && StderrIsTerminal();
}

Progress::Progress(const Options& options, const char* verb, uint64_t total,
                   std::function<uint64_t()> measure)
    : verb_(verb), total_(total), measure_(std::move(measure)), start_(Clock::now()) {
  // Nothing to tell of work that has no size.
  if (Wanted(options) && total > 0) thread_ = std::thread([this] { Run(); });
}

Progress::~Progress() {
  Finish();
}

void Progress::Finish() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  stop_.notify_all();
  thread_.join();
  std::lock_guard<std::mutex> hold(g_lineLock);
  EraseLineLocked();
}

void Progress::Run() {
  Clock::time_point due = start_ + kFirstDraw;
  std::unique_lock<std::mutex> hold(lock_);
  while (!stop_.wait_until(hold, due, [this] { return stopping_; })) {
    hold.unlock();
    Draw(Clock::now());
    hold.lock();
    due = Clock::now() + kRedraw;
  }
}

void Progress::Draw(Clock::time_point now) {
  uint64_t done = measure_ ? measure_() : done_.load();
  shown_ = std::min(total_, std::max(shown_, done));
  if (samples_.empty()) samples_.push_back({start_, 0});
  samples_.push_back({now, shown_});
  // Keep one sample at least a window old, so that the rate spans the whole window.
  while (samples_.size() > 2 && now - samples_[1].at >= kRateWindow) samples_.pop_front();
  double seconds = std::chrono::duration<double>(now - samples_.front().at).count();
  double rate = seconds > 0 ? static_cast<double>(shown_ - samples_.front().done) / seconds : 0;
  int columns = TerminalColumns();
  if (columns <= 0) columns = 80;
  std::string line = ProgressLine(verb_, shown_, total_, rate, columns);

  std::lock_guard<std::mutex> hold(g_lineLock);
  std::string text = "\r" + line;
  // A shorter line than the last one: spaces over the rest, and the line again, so that the
  // cursor stands just behind it.
  size_t covered = std::min(g_lineColumns.load(), static_cast<size_t>(columns - 1));
  if (covered > line.size()) text += std::string(covered - line.size(), ' ') + "\r" + line;
  fputs(text.c_str(), stderr);
  fflush(stderr);
  g_lineColumns.store(line.size());
}

AtomicOutput::AtomicOutput(const fs::path& target, bool reopened)
    : target_(target), toStandardOutput_(IsStandardStream(target)) {
  shown_ = toStandardOutput_ ? "standard output" : target.string();
  fs::path directory = target.parent_path();
  fs::path name = ".";
  name += target.filename();
  std::error_code error;
  if (toStandardOutput_) {
    directory = fs::temp_directory_path(error);
    if (error)
      throw FileFailure("no temporary directory to build the output in: " + error.message());
    name = ".setuppack-" + std::to_string(std::random_device()());
  } else if (fs::is_directory(target, error)) {
    throw FileFailure(shown_ + ": is a directory");
  } else {
    RequireDirectoryFor(target);
  }
  if (directory.empty()) directory = ".";
  // A fresh name that nobody else is writing: the target's name, a dot and a counter. It is
  // watched from before it exists, so that a stop right after the file is made takes it too.
  for (int n = 0; n < 1000 && file_ == nullptr; ++n) {
    temporary_ = directory / name;
    temporary_ += ".part" + std::to_string(n);
    if (fs::exists(fs::symlink_status(temporary_, error))) continue;
    pending_.emplace(temporary_, false);
    file_ = CreateNewFile(temporary_, !reopened);
    if (file_ == nullptr) pending_.reset();
  }
  if (file_ == nullptr) {
    temporary_.clear();
    throw FileFailure(shown_ + ": cannot create a file " +
                      (toStandardOutput_ ? "in " + directory.string() : "beside it"));
  }
}

AtomicOutput::~AtomicOutput() {
  if (file_ != nullptr) fclose(file_);
  std::error_code ignored;
  if (!temporary_.empty()) fs::remove(temporary_, ignored);
}

void AtomicOutput::Write(const void* data, size_t size) {
  if (size > 0 && fwrite(data, 1, size, file_) != size)
    throw FileFailure(shown_ + ": write failed (disk full?)");
  if (mirror_ != nullptr && size > 0) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    const size_t at = static_cast<size_t>(position_);
    if (mirror_->size() < at + size) mirror_->resize(at + size);
    std::copy(bytes, bytes + size, mirror_->begin() + static_cast<long>(at));
  }
  position_ += size;
}

void AtomicOutput::WriteAt(uint64_t position, const void* data, size_t size) {
  if (fseek(file_, static_cast<long>(position), SEEK_SET) != 0)
    throw FileFailure(shown_ + ": seek failed");
  const uint64_t end = position_;
  position_ = position;
  Write(data, size);
  fseek(file_, 0, SEEK_END);
  position_ = std::max(end, position_);
}

void AtomicOutput::Commit() {
  if (toStandardOutput_) {
    CopyToStandardOutput();
    return;
  }
  GiveUsualAccess(file_);
  FILE* file = file_;
  file_ = nullptr;
  std::string why;
  if (!PutInPlace(file, temporary_, target_, &why)) throw FileFailure(shown_ + ": " + why);
  temporary_.clear();
  pending_.reset();
}

const fs::path& AtomicOutput::Close() {
  int closed = fclose(file_);
  file_ = nullptr;
  if (closed != 0) throw FileFailure(shown_ + ": write failed (disk full?)");
  return temporary_;
}

void AtomicOutput::CopyToStandardOutput() {
  if (fflush(file_) != 0 || fseek(file_, 0, SEEK_SET) != 0)
    throw FileFailure(temporary_.string() + ": write failed (disk full?)");
  // Read back through the handle it was written with, never by its name in a directory others
  // share; on Windows the name cannot even be opened, as the file is marked for deletion.
  UseBinaryMode(stdout);
  std::vector<char> buffer(1 << 16);
  size_t got;
  bool ok = true;
  while (ok && (got = fread(buffer.data(), 1, buffer.size(), file_)) > 0)
    ok = fwrite(buffer.data(), 1, got, stdout) == got;
  ok = ok && !ferror(file_);
  if (fflush(stdout) != 0 || !ok) throw FileFailure(shown_ + ": write failed");
}

void RequireDirectoryFor(const fs::path& target) {
  fs::path directory = target.parent_path();
  std::error_code error;
  if (!directory.empty() && !fs::is_directory(directory, error))
    throw FileFailure(target.string() + ": no directory " + directory.string() + " to write it in");
}

InputFile::InputFile(const fs::path& path) : path_(path) {
  if (!IsStandardStream(path)) return;
  copy_.reset(new AtomicOutput(path, true));
  UseBinaryMode(stdin);
  std::vector<uint8_t> buffer(1 << 16);
  size_t got;
  while ((got = fread(buffer.data(), 1, buffer.size(), stdin)) > 0)
    copy_->Write(buffer.data(), got);
  if (ferror(stdin)) throw FileFailure("standard input: read failed");
  path_ = copy_->Close();
}

std::vector<uint8_t> ReadWholeFile(const fs::path& path) {
  std::vector<uint8_t> bytes;
  if (IsStandardStream(path)) {
    UseBinaryMode(stdin);
    uint8_t buffer[1 << 16];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, stdin)) > 0)
      bytes.insert(bytes.end(), buffer, buffer + got);
    if (ferror(stdin)) throw FileFailure("standard input: read failed");
    return bytes;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileFailure(path.string() + ": cannot be opened");
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) throw FileFailure(path.string() + ": cannot be read");
  in.seekg(0, std::ios::beg);
  // Named here, where the size is known: a bare "out of memory" would not say which file asked.
  const std::string tooLarge =
      path.string() + ": " + FormatBytes(static_cast<uint64_t>(size)) +
      ", more than this program can hold in memory" +
      (static_cast<uint64_t>(size) > 0xFFFFFFFFu ? " (is it the file meant?)" : "");
  if (static_cast<uint64_t>(size) > bytes.max_size()) throw FileFailure(tooLarge);
  try {
    bytes.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    throw FileFailure(tooLarge);
  }
  if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size))
    throw FileFailure(path.string() + ": cannot be read");
  return bytes;
}

std::string PortablePath(const fs::path& path) {
  std::string out;
  if (!ToCorePath(path, &out))
    throw FileFailure(path.string() + ": path too long for the launcher's " +
                      std::to_string(MAX_PATH) + "-byte limit, or not in this system's code page");
  return out;
}

std::string Counted(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string FormatBytes(uint64_t bytes) {
  char text[32];
  if (bytes < 10000)
    snprintf(text, sizeof text, "%" PRIu64 " B", bytes);
  else if (bytes < 10000000)
    snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1e3);
  else if (bytes < 10000000000)
    snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  else
    snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
  return text;
}

void UseCodePage(int codePage) {
  if (codePage != 0 && !IsKnownCodePage(codePage))
    throw UsageFailure("code page " + std::to_string(codePage) + " is not known here");
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
        AppendEscape(&out, "\\x{%02x}", byte);
    return out;
  }
  for (char32_t c : characters)
    if (IsByteEscape(c))
      AppendEscape(&out, "\\x{%02x}", static_cast<unsigned>(c - 0xDC00));
    else if (Steers(c))
      AppendEscape(&out, c < 0x100 ? "\\x{%02x}" : "\\u{%04x}", static_cast<unsigned>(c));
    else
      AppendUtf8(&out, c);
  return out;
}

std::string EscapeSteering(const std::string& json) {
  std::string out;
  for (size_t i = 0; i < json.size();) {
    unsigned char lead = static_cast<unsigned char>(json[i]);
    size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (i + length > json.size()) length = json.size() - i;
    char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (size_t k = 1; k < length; ++k)
      c = c << 6 | (static_cast<unsigned char>(json[i + k]) & 0x3F);
    // Below DEL the serializer has escaped what steers already.
    if (c >= 0x7F && Steers(c))
      AppendEscape(&out, "\\u%04x", static_cast<unsigned>(c));
    else
      out.append(json, i, length);
    i += length;
  }
  return out;
}

bool NameText(const std::string& name, int codePage, std::string* utf8) {
  utf8->clear();
  std::u32string characters;
  if (codePage == 0 || !DecodeCodePage(name, codePage, &characters)) {
    for (unsigned char byte : name)
      if (byte >= 0x80) return false;
    *utf8 = name;
    return true;
  }
  for (char32_t c : characters) {
    if (IsByteEscape(c)) return false;
    AppendUtf8(utf8, c);
  }
  return true;
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
