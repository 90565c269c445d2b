#include "support/reference_codec.h"

#include "support/bit_writer.h"

namespace {

const int kNone = 4096;

}  // namespace

void ReferenceDictionary::Reset() {
  for (int e = 0; e < 256; ++e) {
    symbol_[e] = e;
    parent_[e] = firstChild_[e] = nextSibling_[e] = previousSibling_[e] = kNone;
  }
  inUse_ = 256;
  head_ = tail_ = kNone;
}

int ReferenceDictionary::FindChild(int parent, int byte) const {
  for (int e = firstChild_[parent]; e != kNone; e = nextSibling_[e])
    if (symbol_[e] == byte) return e;
  return kNone;
}

void ReferenceDictionary::AddChild(int parent, int e, int byte) {
  symbol_[e] = byte;
  firstChild_[e] = kNone;
  parent_[e] = parent;
  previousSibling_[e] = kNone;
  nextSibling_[e] = firstChild_[parent];
  if (firstChild_[parent] != kNone) previousSibling_[firstChild_[parent]] = e;
  firstChild_[parent] = e;
}

void ReferenceDictionary::DetachNode(int e) {
  if (previousSibling_[e] != kNone)
    nextSibling_[previousSibling_[e]] = nextSibling_[e];
  else
    firstChild_[parent_[e]] = nextSibling_[e];
  if (nextSibling_[e] != kNone) previousSibling_[nextSibling_[e]] = previousSibling_[e];
}

void ReferenceDictionary::RecencyUnlink(int e) {
  if (recencyPrevious_[e] != kNone)
    recencyNext_[recencyPrevious_[e]] = recencyNext_[e];
  else
    head_ = recencyNext_[e];
  if (recencyNext_[e] != kNone)
    recencyPrevious_[recencyNext_[e]] = recencyPrevious_[e];
  else
    tail_ = recencyPrevious_[e];
}

void ReferenceDictionary::RecencyInsertAfter(int e, int after) {
  if (head_ == kNone) {
    head_ = tail_ = e;
    recencyPrevious_[e] = recencyNext_[e] = kNone;
  } else if (after == kNone) {
    recencyPrevious_[e] = kNone;
    recencyNext_[e] = head_;
    recencyPrevious_[head_] = e;
    head_ = e;
  } else if (after == tail_) {
    recencyPrevious_[e] = tail_;
    recencyNext_[e] = kNone;
    recencyNext_[tail_] = e;
    tail_ = e;
  } else {
    int next = recencyNext_[after];
    recencyPrevious_[e] = after;
    recencyNext_[e] = next;
    recencyNext_[after] = e;
    recencyPrevious_[next] = e;
  }
}

void ReferenceDictionary::MarkUsed(int e) {
  if (e >= 256 && e != tail_) {
    RecencyUnlink(e);
    RecencyInsertAfter(e, tail_);
  }
}

void ReferenceDictionary::AddPhrases(const uint8_t* bytes, int n, int previous,
                                     int previousLength) {
  if (previous == kNone) return;
  for (int i = 0; i < n; ++i) {
    if (previousLength + i + 1 > 100) return;
    if (FindChild(previous, bytes[i]) != kNone) continue;
    int e;
    if (inUse_ < 4096) {
      e = inUse_++;
    } else {
      e = head_;
      if (e == previous) return;
      RecencyUnlink(e);
      DetachNode(e);
    }
    AddChild(previous, e, bytes[i]);
    if (previous < 256)
      RecencyInsertAfter(e, tail_);
    else
      RecencyInsertAfter(e, recencyPrevious_[previous]);
  }
}

std::vector<int> ReferenceDictionary::RecencyOrder() const {
  std::vector<int> order;
  for (int e = head_; e != kNone; e = recencyNext_[e]) order.push_back(e);
  return order;
}

int ReferenceDecoder::NextWidth() {
  if (dictionary_.inUse() - 256 >= threshold_) {
    threshold_ *= 2;
    width_ += 1;
  }
  return width_;
}

bool ReferenceDecoder::Step(int code, std::string* out) {
  if (code == kNone) {
    previous_ = kNone;
    previousLength_ = 0;
    return true;
  }
  if (code > kNone || code >= dictionary_.inUse()) return false;
  int stack[100];
  int n = 0;
  for (int e = code; e != kNone; e = dictionary_.parent(e)) {
    dictionary_.MarkUsed(e);
    stack[99 - n] = dictionary_.symbol(e);
    ++n;
  }
  uint8_t bytes[100];
  for (int i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(stack[100 - n + i]);
  out->append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
  dictionary_.AddPhrases(bytes, n, previous_, previousLength_);
  previous_ = code;
  previousLength_ = n;
  return true;
}

namespace {

// The byte-wise bit reader, end of file reading as 0xFF.
struct PlainBitReader {
  const std::vector<uint8_t>& data;
  size_t position;
  int bitsLeft = 0;
  int current = 0;
  int Fetch() { return position < data.size() ? data[position++] : 0xFF; }
  int ReadBit() {
    if (--bitsLeft >= 0) return (current >> bitsLeft) & 1;
    current = Fetch();
    bitsLeft = 7;
    return (current >> 7) & 1;
  }
  int ReadBits(int n) {
    int result = 0;
    while (n > bitsLeft) {
      n -= bitsLeft;
      result |= (current & ((1 << bitsLeft) - 1)) << n;
      current = Fetch();
      bitsLeft = 8;
    }
    bitsLeft -= n;
    return result | ((current >> bitsLeft) & ((1 << n) - 1));
  }
};

}  // namespace

bool ReferenceDecode(const std::vector<uint8_t>& blob, std::string* out) {
  out->clear();
  if (blob.size() < 4) return true;
  uint32_t size = static_cast<uint32_t>(blob[0]) | static_cast<uint32_t>(blob[1]) << 8 |
                  static_cast<uint32_t>(blob[2]) << 16 | static_cast<uint32_t>(blob[3]) << 24;
  PlainBitReader reader{blob, 4};
  ReferenceDecoder decoder;
  while (out->size() < size) {
    int width = decoder.NextWidth();
    int code = reader.ReadBit() == 0 ? reader.ReadBits(8) : reader.ReadBits(width) + 256;
    if (!decoder.Step(code, out)) return false;
  }
  return true;
}

std::vector<uint8_t> GenerateStream(std::mt19937* random, size_t minimumSize, int alphabet,
                                    double literalShare, std::string* decoded) {
  BitWriter writer;
  ReferenceDecoder decoder;
  decoded->clear();
  std::uniform_real_distribution<double> coin(0.0, 1.0);
  while (decoded->size() < minimumSize) {
    int width = decoder.NextWidth();
    int learnt = decoder.dictionary().inUse() - 256;
    int reachable = learnt < (1 << width) ? learnt : (1 << width);
    int code;
    if (width == 12 && coin(*random) < 0.001) {
      code = 4096;  // the reference one past the last entry
      writer.Reference(3840, width);
    } else if (reachable == 0 || coin(*random) < literalShare) {
      code = static_cast<int>((*random)() % static_cast<unsigned>(alphabet));
      writer.Literal(static_cast<uint8_t>(code));
    } else {
      int k = static_cast<int>((*random)() % static_cast<unsigned>(reachable));
      code = 256 + k;
      writer.Reference(static_cast<uint32_t>(k), width);
    }
    decoder.Step(code, decoded);
  }
  return MakeBlob(static_cast<uint32_t>(decoded->size()), writer.bytes());
}
