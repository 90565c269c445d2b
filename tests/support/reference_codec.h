// A second, deliberately plain model of the format: sibling lists walked linearly, one byte and
// one bit at a time, every step as the format's description words it. Tests hold the real
// decoder (and encoder) to it on generated streams.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

class ReferenceDictionary {
 public:
  ReferenceDictionary() { Reset(); }
  void Reset();
  int FindChild(int parent, int byte) const;
  void MarkUsed(int e);
  void AddPhrases(const uint8_t* bytes, int n, int previous, int previousLength);
  int inUse() const { return inUse_; }
  int parent(int e) const { return parent_[e]; }
  int symbol(int e) const { return symbol_[e]; }
  // The recency list from least to most recent.
  std::vector<int> RecencyOrder() const;

 private:
  void AddChild(int parent, int e, int byte);
  void DetachNode(int e);
  void RecencyUnlink(int e);
  void RecencyInsertAfter(int e, int after);

  int symbol_[4096], parent_[4096], firstChild_[4096], nextSibling_[4096], previousSibling_[4096];
  int recencyPrevious_[4096], recencyNext_[4096];
  int inUse_, head_, tail_;
};

// The decoder's loop, one symbol at a time.
class ReferenceDecoder {
 public:
  // Applies the width rule before a symbol and returns W.
  int NextWidth();
  // Decodes one code into `out`; false for a code that names no entry in use.
  bool Step(int code, std::string* out);
  const ReferenceDictionary& dictionary() const { return dictionary_; }

 private:
  ReferenceDictionary dictionary_;
  int width_ = 1, threshold_ = 2;
  int previous_ = 4096, previousLength_ = 0;
};

// Decodes a whole blob the plain way; nullopt-like: returns false on a corrupt code.
bool ReferenceDecode(const std::vector<uint8_t>& blob, std::string* out);

// Generates a valid stream of random symbols decoding to at least `minimumSize` bytes, drawn
// from an alphabet of `alphabet` byte values; returns the blob and the text it decodes to.
std::vector<uint8_t> GenerateStream(std::mt19937* random, size_t minimumSize, int alphabet,
                                    double literalShare, std::string* decoded);
