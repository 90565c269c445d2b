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
  // A node past the sentinel that no code can name: a chain of new entries is built by writing
  // to node[last] with `last` starting here, so the first link needs no test.
  CHAIN_START = DICT_SIZE + 1,
};

// A parent never has two children with one symbol, so indexing children by (parent, byte)
// answers exactly what a walk over a parent's sibling list would. Both indexes must start
// zeroed (create the dictionary zero-initialised); every reset then clears only what it used,
// far cheaper than wiping them for every file of a package.

// Whether a child exists, one bit per (parent, byte): 128 KiB, which stays in cache. Enough for
// the decoder, which only ever asks whether a phrase is known already.
struct ChildBits {
  uint32_t bits[DICT_SIZE * 256 / 32];
  bool Has(int parent, int byte) const {
    unsigned i = static_cast<unsigned>(parent * 256 + byte);
    return (bits[i >> 5] >> (i & 31)) & 1u;
  }
  void Add(int parent, int byte, int) {
    unsigned i = static_cast<unsigned>(parent * 256 + byte);
    bits[i >> 5] |= 1u << (i & 31);
  }
  void Remove(int parent, int byte) {
    unsigned i = static_cast<unsigned>(parent * 256 + byte);
    bits[i >> 5] &= ~(1u << (i & 31));
  }
};

// The child itself, for the encoder, which walks phrases down the trie: 2 MiB. 0 means none,
// since a child is never a root.
struct ChildTable {
  uint16_t slot[DICT_SIZE * 256];
  int Find(int parent, int byte) const {
    int e = slot[parent * 256 + byte];
    return e != 0 ? e : NO_ENTRY;
  }
  bool Has(int parent, int byte) const { return slot[parent * 256 + byte] != 0; }
  void Add(int parent, int byte, int e) { slot[parent * 256 + byte] = static_cast<uint16_t>(e); }
  void Remove(int parent, int byte) { slot[parent * 256 + byte] = 0; }
};

// One entry's fields side by side, 8 bytes: whatever an update touches of an entry comes in one
// cache line, and all 4096 entries fit the first-level cache.
struct Node {
  uint16_t recencyPrev;  // toward the least recent end
  uint16_t recencyNext;  // toward the most recent end
  uint16_t parent;
  uint8_t symbol;
  uint8_t length;  // phrase length, 1 to MAX_PHRASE
};

// Node NO_ENTRY is the recency list's sentinel: its next is the head (least recent) and its
// previous the tail (most recent), so inserting and unlinking need no branches.
template <class Children>
struct Dictionary {
  Node node[CHAIN_START + 1];
  int inUse;
  Children children;
};

typedef Dictionary<ChildBits> DecoderDictionary;
typedef Dictionary<ChildTable> EncoderDictionary;

inline int FindChild(const EncoderDictionary& d, int parent, int byte) {
  return d.children.Find(parent, byte);
}

template <class C>
inline int RecencyHead(const Dictionary<C>& d) {
  return d.node[NO_ENTRY].recencyNext;
}

template <class C>
inline int RecencyTail(const Dictionary<C>& d) {
  return d.node[NO_ENTRY].recencyPrev;
}

template <class C>
inline void RecencyUnlink(Dictionary<C>& d, int e) {
  int before = d.node[e].recencyPrev;
  int after = d.node[e].recencyNext;
  d.node[before].recencyNext = static_cast<uint16_t>(after);
  d.node[after].recencyPrev = static_cast<uint16_t>(before);
}

// Links the stretch `first` .. `last`, already linked inside, into the recency list just before
// `anchor`; before the sentinel NO_ENTRY means at the most recent end.
template <class C>
inline void RecencySpliceBefore(Dictionary<C>& d, int first, int last, int anchor) {
  int before = d.node[anchor].recencyPrev;
  d.node[before].recencyNext = static_cast<uint16_t>(first);
  d.node[first].recencyPrev = static_cast<uint16_t>(before);
  d.node[last].recencyNext = static_cast<uint16_t>(anchor);
  d.node[anchor].recencyPrev = static_cast<uint16_t>(last);
}

// Moves a learnt entry to the most recent end. Moving the tail onto itself would leave the list
// as it was, so no test for it is needed.
template <class C>
inline void MarkUsed(Dictionary<C>& d, int e) {
  if (e < FIRST_LEARNT) return;
  RecencyUnlink(d, e);
  RecencySpliceBefore(d, e, e, NO_ENTRY);
}

// Makes `e` the child of `parent` for `byte`, a phrase of `length` bytes, and links it after
// `last` in a stretch being built (see CHAIN_START).
template <class C>
inline void AddChild(Dictionary<C>& d, int parent, int e, int byte, int length, int last) {
  d.node[e].symbol = static_cast<uint8_t>(byte);
  d.node[e].parent = static_cast<uint16_t>(parent);
  d.node[e].length = static_cast<uint8_t>(length);
  d.children.Add(parent, byte, e);
  d.node[last].recencyNext = static_cast<uint16_t>(e);
  d.node[e].recencyPrev = static_cast<uint16_t>(last);
}

template <class C>
inline void DetachNode(Dictionary<C>& d, int e) {
  d.children.Remove(d.node[e].parent, d.node[e].symbol);
}

template <class C>
void ResetDictionary(Dictionary<C>& d) {
  for (int e = FIRST_LEARNT; e < d.inUse && e < DICT_SIZE; ++e) DetachNode(d, e);
  for (int e = 0; e < FIRST_LEARNT; ++e) {
    d.node[e].symbol = static_cast<uint8_t>(e);
    d.node[e].parent = NO_ENTRY;
    d.node[e].length = 1;
  }
  d.inUse = FIRST_LEARNT;
  d.node[NO_ENTRY].recencyNext = NO_ENTRY;
  d.node[NO_ENTRY].recencyPrev = NO_ENTRY;
}

// Learns previous + bytes[i] for i from `i` to n - 1, recycling the least recent entry for each
// new phrase, then puts the stretch of new entries that ends at `last` in its place. The
// second half of AddPhrases, and in a full dictionary the whole of it.
template <class C>
inline void AddPhrasesRecycling(Dictionary<C>& d, const uint8_t* bytes, int i, int n, int previous,
                                int length, int last) {
  int head = RecencyHead(d);
  for (; i < n; ++i) {
    const int byte = bytes[i];
    if (d.children.Has(previous, byte)) continue;
    const int e = head;
    // Recycling the predecessor itself would cut the branch being grown.
    if (e == previous) break;
    head = d.node[e].recencyNext;
    DetachNode(d, e);
    AddChild(d, previous, e, byte, length, last);
    last = e;
  }
  if (last == CHAIN_START) return;
  // Cuts off what was recycled; with nothing recycled this rewrites the links as they are.
  d.node[NO_ENTRY].recencyNext = static_cast<uint16_t>(head);
  d.node[head].recencyPrev = NO_ENTRY;
  RecencySpliceBefore(d, d.node[CHAIN_START].recencyNext, last,
                      previous < FIRST_LEARNT ? NO_ENTRY : previous);
}

// The update after a decoded phrase `bytes[0..n)`, whose predecessor was entry `previous` of
// `previousLength` bytes: learns previous + bytes[i] for each i, all as children of `previous`.
//
// Each new entry goes just before `previous` when that is a learnt phrase, so that it is
// recycled before its parent and the least recent entry never has children; a child of a root
// goes to the most recent end. One after the other, they form one stretch there, in the order
// learnt; and the entries recycled for them are taken one after the other from the least
// recent end. So both are done for the whole update at once: the recycled entries are cut off
// the head together, the new ones spliced in together. (Inserting one by one would differ only
// if `previous` stood among the first entries of a full list, which it never does: it was
// moved to the most recent end when it was read, a step ago.)
template <class C>
void AddPhrases(Dictionary<C>& d, const uint8_t* bytes, int n, int previous, int previousLength) {
  if (previous == NO_ENTRY) return;
  int limit = MAX_PHRASE - previousLength;
  if (n > limit) n = limit;
  const int length = previousLength + 1;
  if (d.inUse == DICT_SIZE) {
    AddPhrasesRecycling(d, bytes, 0, n, previous, length, CHAIN_START);
    return;
  }
  // While the dictionary fills, entries are handed out in increasing number.
  int last = CHAIN_START;
  int i = 0;
  for (; i < n && d.inUse < DICT_SIZE; ++i) {
    const int byte = bytes[i];
    if (d.children.Has(previous, byte)) continue;
    const int e = d.inUse++;
    AddChild(d, previous, e, byte, length, last);
    last = e;
  }
  AddPhrasesRecycling(d, bytes, i, n, previous, length, last);
}

// What reading the code `e` does to the dictionary before it learns anything: spells its phrase
// into `out` (at least MAX_PHRASE bytes) and marks every entry on the way used, from the last
// byte's entry toward the root, which leaves every prefix more recent than its extensions and
// so keeps the least recent entry childless. Returns the phrase's length. Encoder and decoder
// both go through here.
//
// Marked one by one, the chain's learnt entries would end at the most recent end in chain
// order, so they are unlinked on the way up, linked to each other, and put there as one
// stretch. Every entry of the chain but its root is learnt.
template <class C>
inline int UsePhrase(Dictionary<C>& d, int e, uint8_t* out) {
  const int n = d.node[e].length;
  const int first = e;
  int last = NO_ENTRY;
  for (int i = n - 1; i > 0; --i) {
    RecencyUnlink(d, e);
    if (last != NO_ENTRY) {
      d.node[last].recencyNext = static_cast<uint16_t>(e);
      d.node[e].recencyPrev = static_cast<uint16_t>(last);
    }
    last = e;
    out[i] = d.node[e].symbol;
    e = d.node[e].parent;
  }
  out[0] = static_cast<uint8_t>(e);
  if (last != NO_ENTRY) RecencySpliceBefore(d, first, last, NO_ENTRY);
  return n;
}
