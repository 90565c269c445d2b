#include "packer/terminal.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "common/platform.h"
#include "packer/options.h"
#include "packer/system.h"

namespace packer {

namespace {

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

}  // namespace

void EraseProgressLineNow() {
  char text[258];
  size_t columns = std::min<size_t>(g_lineColumns.exchange(0), sizeof text - 2);
  if (columns == 0) return;
  text[0] = '\r';
  std::fill(text + 1, text + 1 + columns, ' ');
  text[columns + 1] = '\r';
  WriteStderrNow(text, columns + 2);
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

}  // namespace packer
