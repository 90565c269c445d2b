// The phrase dictionary shared by the decoder and the encoder: 4096 entries whose first 256 are
// the single bytes; the rest are learnt per file and recycled least recently used first. Both
// sides must apply exactly the same updates, because the order of the recency list decides the
// meaning of later codes.
#pragma once

#include <cstdint>

enum {
  DICT_SIZE = 4096,
  NO_ENTRY = 4096,
  MAX_PHRASE = 100,
  FIRST_LEARNT = 256,
};

// Links are 16-bit so that the whole linked state stays within a few cache lines' reach.
// Index NO_ENTRY of the recency arrays is the list's sentinel: its next is the head (least
// recent) and its previous the tail (most recent), so inserting and unlinking need no branches.
struct Dictionary {
  uint16_t parent[DICT_SIZE];
  uint16_t recencyPrev[DICT_SIZE + 1];
  uint16_t recencyNext[DICT_SIZE + 1];
  uint8_t symbol[DICT_SIZE];
  uint8_t length[DICT_SIZE];  // phrase length, 1 to MAX_PHRASE
  int inUse;
  // child[parent * 256 + byte]: the child of `parent` spelled with `byte`, or 0 for none (a
  // child is never a root, so 0 is free). A parent never has two children with one symbol, so
  // this answers exactly what a walk over its sibling list would. It must start zeroed: create
  // the dictionary zero-initialised; every reset then clears only the slots it used.
  uint16_t child[DICT_SIZE * 256];
};

void ResetDictionary(Dictionary& d);

inline int FindChild(const Dictionary& d, int parent, int byte) {
  int e = d.child[parent * 256 + byte];
  return e != 0 ? e : NO_ENTRY;
}

inline int RecencyHead(const Dictionary& d) {
  return d.recencyNext[NO_ENTRY];
}
inline int RecencyTail(const Dictionary& d) {
  return d.recencyPrev[NO_ENTRY];
}

inline void RecencyUnlink(Dictionary& d, int e) {
  int before = d.recencyPrev[e];
  int after = d.recencyNext[e];
  d.recencyNext[before] = static_cast<uint16_t>(after);
  d.recencyPrev[after] = static_cast<uint16_t>(before);
}

// `after` = NO_ENTRY makes `e` the new head.
inline void RecencyInsertAfter(Dictionary& d, int e, int after) {
  int next = d.recencyNext[after];
  d.recencyPrev[e] = static_cast<uint16_t>(after);
  d.recencyNext[e] = static_cast<uint16_t>(next);
  d.recencyNext[after] = static_cast<uint16_t>(e);
  d.recencyPrev[next] = static_cast<uint16_t>(e);
}

// Moves a learnt entry to the most recent end. Moving the tail onto itself would leave the list
// as it was, so no test for it is needed.
inline void MarkUsed(Dictionary& d, int e) {
  if (e < FIRST_LEARNT) return;
  RecencyUnlink(d, e);
  RecencyInsertAfter(d, e, RecencyTail(d));
}

inline void AddChild(Dictionary& d, int parent, int e, int byte) {
  d.symbol[e] = static_cast<uint8_t>(byte);
  d.parent[e] = static_cast<uint16_t>(parent);
  d.length[e] = static_cast<uint8_t>(d.length[parent] + 1);
  d.child[parent * 256 + byte] = static_cast<uint16_t>(e);
}

inline void DetachNode(Dictionary& d, int e) {
  d.child[d.parent[e] * 256 + d.symbol[e]] = 0;
}

// The update after a decoded phrase `bytes[0..n)`, whose predecessor was entry `previous` of
// `previousLength` bytes: learns previous + bytes[i] for each i, all as children of `previous`.
void AddPhrases(Dictionary& d, const uint8_t* bytes, int n, int previous, int previousLength);

// Writes the phrase of `e` into `out` (at least MAX_PHRASE bytes) and returns its length.
int SpellPhrase(const Dictionary& d, int e, uint8_t* out);

// What reading the code `e` does to the dictionary before it learns anything: spells its phrase
// into `out` and marks every entry on the way used, from the last byte's entry toward the root,
// which leaves every prefix more recent than its extensions and so keeps the least recent entry
// childless. Returns the phrase's length. Encoder and decoder both go through here.
inline int UsePhrase(Dictionary& d, int e, uint8_t* out) {
  int n = d.length[e];
  for (int i = n - 1; i >= 0; --i) {
    MarkUsed(d, e);
    out[i] = d.symbol[e];
    e = d.parent[e];
  }
  return n;
}
