#include "decode/dictionary.h"

void ResetDictionary(Dictionary& d) {
  // Clearing just the slots of the entries in use leaves the child table all zero again, which
  // is far cheaper than wiping 2 MiB for every file of a package.
  for (int e = FIRST_LEARNT; e < d.inUse && e < DICT_SIZE; ++e) DetachNode(d, e);
  for (int e = 0; e < FIRST_LEARNT; ++e) {
    d.symbol[e] = static_cast<uint8_t>(e);
    d.parent[e] = NO_ENTRY;
    d.length[e] = 1;
  }
  d.inUse = FIRST_LEARNT;
  d.recencyNext[NO_ENTRY] = NO_ENTRY;
  d.recencyPrev[NO_ENTRY] = NO_ENTRY;
}

void AddPhrases(Dictionary& d, const uint8_t* bytes, int n, int previous, int previousLength) {
  if (previous == NO_ENTRY) return;
  int limit = MAX_PHRASE - previousLength;
  if (n > limit) n = limit;
  for (int i = 0; i < n; ++i) {
    if (FindChild(d, previous, bytes[i]) != NO_ENTRY) continue;
    int e;
    if (d.inUse < DICT_SIZE) {
      e = d.inUse++;
    } else {
      e = RecencyHead(d);
      // Recycling the predecessor itself would cut the branch being grown.
      if (e == previous) return;
      RecencyUnlink(d, e);
      DetachNode(d, e);
    }
    AddChild(d, previous, e, bytes[i]);
    // A child of a longer phrase goes just before its parent, so that it is recycled before the
    // parent and the least recent entry never has children.
    int after = previous < FIRST_LEARNT ? RecencyTail(d) : d.recencyPrev[previous];
    RecencyInsertAfter(d, e, after);
  }
}

int SpellPhrase(const Dictionary& d, int e, uint8_t* out) {
  int n = d.length[e];
  for (int i = n - 1; i >= 0; --i) {
    out[i] = d.symbol[e];
    e = d.parent[e];
  }
  return n;
}
