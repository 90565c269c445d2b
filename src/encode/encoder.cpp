#include "encode/encoder.h"

#include <climits>
#include <cstring>

namespace {

// Collects bits most significant first into a 64-bit word and stores whole bytes.
class BitSink {
 public:
  BitSink(std::vector<uint8_t>* out, uint64_t word, int count)
      : out_(out), word_(word), count_(count) {}
  void Put(uint32_t value, int bits) {
    word_ = (word_ << bits) | value;
    count_ += bits;
    while (count_ >= 8) {
      count_ -= 8;
      out_->push_back(static_cast<uint8_t>(word_ >> count_));
    }
  }
  void Finish() {
    if (count_ > 0) out_->push_back(static_cast<uint8_t>(word_ << (8 - count_)));
    count_ = 0;
  }
  uint64_t word() const { return word_; }
  int count() const { return count_; }

 private:
  std::vector<uint8_t>* out_;
  uint64_t word_;
  int count_;
};

// The deepest entry spelling a prefix of data[0..size) that the current width can name; a
// single byte when no learnt entry fits. `length` receives the phrase length.
int LongestMatch(const EncoderDictionary& d, int reachable, const uint8_t* data, size_t size,
                 int* length) {
  int best = data[0];
  int bestLength = 1;
  int e = data[0];
  size_t limit = size < size_t{MAX_PHRASE} ? size : size_t{MAX_PHRASE};
  for (size_t i = 1; i < limit; ++i) {
    e = FindChild(d, e, data[i]);
    if (e == NO_ENTRY) break;
    // Entries are handed out in increasing number until the dictionary is full, so an entry
    // beyond the width is rare; its shorter prefixes may still be reachable.
    if (e < reachable) {
      best = e;
      bestLength = static_cast<int>(i) + 1;
    }
  }
  *length = bestLength;
  return best;
}

// The entry on `e`'s chain whose phrase is `length` bytes long.
int Ancestor(const EncoderDictionary& d, int e, int length) {
  while (d.node[e].length > length) e = d.node[e].parent;
  return e;
}

// Chooses, for each of the next `window` bytes, the phrase length that starts the cheapest way
// in bits to the window's end, with phrases the dictionary holds now. The dictionary learns as
// the plan is carried out, so the plan's end, judged with the least knowledge, is planned again
// before it is reached; a longer view paid less than it cost on the benchmark corpus.
//
// `known` offsets at the window's start already hold their longest match in encoder.longest.
// Returns the window's length.
int Plan(Encoder& encoder, int reachable, const uint8_t* data, size_t left, int known) {
  const EncoderDictionary& d = encoder.dictionary;
  int window = left < size_t{PLAN_WINDOW} ? static_cast<int>(left) : PLAN_WINDOW;
  for (int i = known; i < window; ++i) {
    int length;
    LongestMatch(d, reachable, data + i, left - i, &length);
    encoder.longest[i] = static_cast<uint8_t>(length);
  }
  const int referenceBits = encoder.width + 1;
  int bits[PLAN_WINDOW + 1];
  bits[window] = 0;  // what lies past the window is planned later
  for (int i = window - 1; i >= 0; --i) {
    // Longest first, so that among equal costs the longer phrase, which teaches the
    // dictionary more, wins. Every reference that reaches past the window costs the same, so
    // of those only the longest is worth a look.
    const int longest = encoder.longest[i];
    int best = INT_MAX;
    int length = longest;
    if (longest >= 2 && i + longest >= window) {
      best = referenceBits;
      encoder.plan[i] = static_cast<uint8_t>(longest);
      length = window - i - 1;
    }
    for (; length >= 2; --length) {
      int cost = referenceBits + bits[i + length];
      if (cost < best) {
        best = cost;
        encoder.plan[i] = static_cast<uint8_t>(length);
      }
    }
    int literal = 9 + bits[i + 1];
    if (literal < best) {
      best = literal;
      encoder.plan[i] = 1;
    }
    bits[i] = best;
  }
  return window;
}

}  // namespace

BlobEncoder::BlobEncoder(Encoder& encoder, uint64_t size, ParseMode mode, std::vector<uint8_t>* out)
    : encoder_(encoder), mode_(mode), size_(size), out_(out) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(size >> (8 * i)));
  ResetDictionary(encoder.dictionary);
  encoder.width = 1;
  encoder.threshold = 2;
}

void BlobEncoder::Add(const uint8_t* data, size_t size) {
  // What passes the declared size could not be told to the decoder: it is left out.
  const uint64_t wanted = size_ - position_ - carried_;
  if (size > wanted) size = static_cast<size_t>(wanted);
  if (size == 0) return;
  if (carried_ > 0) {
    size_t take = sizeof carry_ - carried_;
    if (take > size) take = size;
    memcpy(carry_ + carried_, data, take);
    carried_ += take;
    data += take;
    size -= take;
    const size_t rest = carried_ - Encode(carry_, carried_);
    if (size == 0) {
      memmove(carry_, carry_ + carried_ - rest, rest);
      carried_ = rest;
      return;
    }
    // Fewer than ENCODE_LOOKAHEAD bytes are left, all of them copied from `data` just now (more
    // than that was copied): go on from there in place.
    data -= rest;
    size += rest;
    carried_ = 0;
  }
  const size_t used = Encode(data, size);
  memcpy(carry_, data + used, size - used);
  carried_ = size - used;
}

void BlobEncoder::Finish() {
  BitSink bits(out_, word_, count_);
  bits.Finish();
  word_ = 0;
  count_ = 0;
}

size_t BlobEncoder::Encode(const uint8_t* data, size_t available) {
  Encoder& encoder = encoder_;
  EncoderDictionary& d = encoder.dictionary;
  BitSink bits(out_, word_, count_);
  uint8_t scratch[MAX_PHRASE];
  int previous = previous_;
  int previousLength = previousLength_;
  int planned = planned_;
  int window = window_;
  size_t at = 0;
  const size_t size = static_cast<size_t>(size_ - position_);
  // Every choice depends on at most ENCODE_LOOKAHEAD bytes ahead, or on all that is left when
  // less is, and `left` counts to the end of the whole input, as with the input whole in hand.
  while (at < size) {
    const size_t left = size - at;
    if (available - at < (left < size_t{ENCODE_LOOKAHEAD} ? left : size_t{ENCODE_LOOKAHEAD})) break;
    if (d.inUse - FIRST_LEARNT >= encoder.threshold) {
      encoder.threshold *= 2;
      encoder.width += 1;
    }
    int reachable = FIRST_LEARNT + (1 << encoder.width);
    int length;
    int code = LongestMatch(d, reachable, data + at, left, &length);
    const int span = left < size_t{PLAN_WINDOW} ? static_cast<int>(left) : PLAN_WINDOW;
    if (mode_ == PARSE_PLANNED && length >= 2 && length >= span) {
      // A phrase that covers the whole window is the start any plan would choose (one symbol
      // to the window's end), and nothing of a plan would be left to follow after it.
      planned = PLAN_STEP;
      window = 0;
    } else if (mode_ == PARSE_PLANNED) {
      if (planned >= PLAN_STEP || encoder.longest[planned] != length) {
        // Plan again from here: every PLAN_STEP bytes, and sooner when the dictionary has
        // learnt or lost what the plan was made with. The match at hand is fresh; those further
        // on are a few phrases old, close enough to plan with, and one that no longer holds is
        // caught here before it is followed.
        int known = 0;
        encoder.longest[known++] = static_cast<uint8_t>(length);
        for (int i = planned + 1; i < window; ++i) encoder.longest[known++] = encoder.longest[i];
        window = Plan(encoder, reachable, data + at, left, known);
        planned = 0;
      }
      int wanted = encoder.plan[planned];
      code = Ancestor(d, code, wanted);
      length = wanted;
      planned += length;
    }
    if (code < FIRST_LEARNT)
      bits.Put(static_cast<uint32_t>(code), 9);
    else
      bits.Put((1u << encoder.width) | static_cast<uint32_t>(code - FIRST_LEARNT),
               encoder.width + 1);
    UsePhrase(d, code, scratch);
    AddPhrases(d, data + at, length, previous, previousLength);
    previous = code;
    previousLength = length;
    at += static_cast<size_t>(length);
  }
  position_ += at;
  previous_ = previous;
  previousLength_ = previousLength;
  planned_ = planned;
  window_ = window;
  word_ = bits.word();
  count_ = bits.count();
  return at;
}

void EncodeBlob(Encoder& encoder, const uint8_t* data, size_t size, ParseMode mode,
                std::vector<uint8_t>* out) {
  BlobEncoder blob(encoder, size, mode, out);
  blob.Add(data, size);
  blob.Finish();
}
