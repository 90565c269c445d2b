#include "packer/stop_cleanup.h"

#include <atomic>
#include <system_error>

#include "common/platform.h"
#include "packer/system.h"
#include "packer/terminal.h"

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

uint32_t Changed(uint32_t word, SlotState state) {
  return ((word >> 2) + 1) << 2 | state;
}

void RemovePending() {
  EraseProgressLineNow();
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

}  // namespace packer
