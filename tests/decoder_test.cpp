// The decompressor: worked examples, the dictionary's rules, and what it does with bad streams.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/platform.h"
#include "decode/decoder.h"
#include "decode/dictionary.h"
#include "support/bit_writer.h"
#include "support/decoding.h"
#include "support/reference_codec.h"
#include "support/scratch.h"

namespace {

struct Decoded {
  DecodeStatus status;
  std::string bytes;
};

// One decoder for the whole suite: reusing it is also how the launcher uses it.
Decoder& SharedDecoder() {
  static std::unique_ptr<Decoder> decoder(new Decoder());
  return *decoder;
}

Decoded Decode(const std::vector<uint8_t>& blob) {
  Decoder& decoder = SharedDecoder();
  Decoded result;
  result.status = DecodeToString(decoder, blob.data(), blob.size(), &result.bytes);
  return result;
}

std::vector<uint8_t> Hex(std::initializer_list<int> bytes) {
  std::vector<uint8_t> out;
  for (int b : bytes) out.push_back(static_cast<uint8_t>(b));
  return out;
}

std::vector<int> RecencyOrder(const EncoderDictionary& d) {
  std::vector<int> order;
  for (int e = RecencyHead(d); e != NO_ENTRY; e = d.node[e].recencyNext) order.push_back(e);
  return order;
}

TEST(WorkedExamples, DecodeToTheirText) {
  EXPECT_EQ(Decode(Hex({0x03, 0, 0, 0, 0x30, 0x98, 0x8C, 0x60})).bytes, "abc");
  EXPECT_EQ(Decode(Hex({0x04, 0, 0, 0, 0x30, 0x98, 0xA0})).bytes, "abab");
  Decoded eight = Decode(Hex({0x08, 0, 0, 0, 0x30, 0x98, 0xA9, 0x00}));
  EXPECT_EQ(eight.status, DECODE_OK);
  EXPECT_EQ(eight.bytes, "abababab");
}

TEST(WorkedExamples, DictionaryFollowsTheWalkThrough) {
  std::unique_ptr<EncoderDictionary> d(new EncoderDictionary());
  ResetDictionary(*d);
  const uint8_t a[] = {'a'}, b[] = {'b'}, ab[] = {'a', 'b'};
  AddPhrases(*d, a, 1, NO_ENTRY, 0);
  EXPECT_EQ(d->inUse, 256);
  AddPhrases(*d, b, 1, 'a', 1);
  EXPECT_EQ(RecencyOrder(*d), (std::vector<int>{256}));
  MarkUsed(*d, 256);
  AddPhrases(*d, ab, 2, 'b', 1);
  EXPECT_EQ(RecencyOrder(*d), (std::vector<int>{256, 257, 258}));
  EXPECT_EQ(FindChild(*d, 'b', 'a'), 257);
  EXPECT_EQ(FindChild(*d, 'b', 'b'), 258);
  MarkUsed(*d, 256);
  EXPECT_EQ(RecencyOrder(*d), (std::vector<int>{257, 258, 256}));
  AddPhrases(*d, ab, 2, 256, 2);
  EXPECT_EQ(RecencyOrder(*d), (std::vector<int>{257, 258, 259, 260, 256}));
  EXPECT_EQ(FindChild(*d, 256, 'a'), 259);
  EXPECT_EQ(FindChild(*d, 256, 'b'), 260);
  uint8_t spelled[MAX_PHRASE];
  EXPECT_EQ(std::string(spelled, spelled + UsePhrase(*d, 260, spelled)), "abb");
  AddPhrases(*d, ab, 2, 256, 2);
  EXPECT_EQ(d->inUse, 261);
}

TEST(Dictionary, LengthLimitCountsExistingBytesToo) {
  std::unique_ptr<EncoderDictionary> d(new EncoderDictionary());
  ResetDictionary(*d);
  const uint8_t xy[] = {'x', 'y'};
  AddPhrases(*d, xy, 2, 'q', 99);
  EXPECT_EQ(d->inUse, 257) << "with L = 99 only the first byte is looked at";
  EXPECT_EQ(FindChild(*d, 'q', 'x'), 256);
  AddPhrases(*d, xy, 2, 'r', 100);
  EXPECT_EQ(d->inUse, 257) << "with L = 100 nothing is added";
  // 'x' already exists under 'q': it still costs a step, so with L = 99 'y' is never added.
  AddPhrases(*d, xy, 2, 'q', 99);
  EXPECT_EQ(FindChild(*d, 'q', 'y'), NO_ENTRY);
}

TEST(Dictionary, RecyclesTheLeastRecentAndStopsAtThePredecessor) {
  std::unique_ptr<EncoderDictionary> d(new EncoderDictionary());
  ResetDictionary(*d);
  // Fill all 3840 learnt entries with two-byte phrases under roots.
  for (int p = 0; p < 256 && d->inUse < DICT_SIZE; ++p)
    for (int b = 0; b < 256 && d->inUse < DICT_SIZE; ++b) {
      const uint8_t byte = static_cast<uint8_t>(b);
      AddPhrases(*d, &byte, 1, p, 1);
    }
  ASSERT_EQ(d->inUse, DICT_SIZE);
  int head = RecencyHead(*d);
  EXPECT_EQ(head, 256);
  // The 3841st new phrase takes the least recent entry's number.
  const uint8_t z = 'z';
  AddPhrases(*d, &z, 1, 255, 1);
  EXPECT_EQ(d->inUse, DICT_SIZE);
  EXPECT_EQ(FindChild(*d, 255, 'z'), head);
  EXPECT_EQ(FindChild(*d, 0, 0), NO_ENTRY) << "the recycled phrase is gone";
  EXPECT_EQ(RecencyTail(*d), head);
  // When the least recent entry is the predecessor itself, the update stops there.
  int next = RecencyHead(*d);
  const uint8_t more[] = {'m', 'n'};
  AddPhrases(*d, more, 2, next, 2);
  EXPECT_EQ(RecencyHead(*d), next);
  EXPECT_EQ(FindChild(*d, next, 'm'), NO_ENTRY);
  EXPECT_EQ(FindChild(*d, next, 'n'), NO_ENTRY);
}

TEST(Dictionary, NewChildOfLongerPhraseGoesJustBeforeItsParent) {
  std::unique_ptr<EncoderDictionary> d(new EncoderDictionary());
  ResetDictionary(*d);
  const uint8_t a = 'a', b = 'b', c = 'c';
  AddPhrases(*d, &b, 1, 'a', 1);  // 256 = "ab"
  AddPhrases(*d, &c, 1, 'x', 1);  // 257 = "xc"
  AddPhrases(*d, &a, 1, 256, 2);  // 258 = "aba", before 256
  EXPECT_EQ(RecencyOrder(*d), (std::vector<int>{258, 256, 257}));
  AddPhrases(*d, &c, 1, 257, 2);  // 259 = "xcc", before 257
  EXPECT_EQ(RecencyOrder(*d), (std::vector<int>{258, 256, 259, 257}));
}

TEST(CodeWidth, GrowsOneStepAtEachThreshold) {
  // Literals "a" then bytes b, c, d... each add one entry under the previous root, so after k
  // literals k - 1 entries are learnt; a reference read next must use the width the rule gives.
  for (int literals : {1, 2, 3, 4, 5, 8, 9, 16, 17}) {
    BitWriter writer;
    std::string text;
    int width = 1, threshold = 2;
    for (int i = 0; i < literals; ++i) {
      if (i - 1 >= threshold) threshold *= 2, ++width;  // rule applied before symbol i
      char c = static_cast<char>('A' + i);
      writer.Literal(static_cast<uint8_t>(c));
      text += c;
    }
    int learnt = literals - 1;
    if (learnt >= threshold) threshold *= 2, ++width;
    if (learnt == 0) continue;
    writer.Reference(0, width);  // entry 256: the first two literals
    text += text.substr(0, 2);
    Decoded out = Decode(MakeBlob(static_cast<uint32_t>(text.size()), writer.bytes()));
    EXPECT_EQ(out.status, DECODE_OK) << literals;
    EXPECT_EQ(out.bytes, text) << literals << " literals, width " << width;
  }
}

TEST(Decoding, EmptyAndShortBlobs) {
  EXPECT_EQ(Decode(Hex({0, 0, 0, 0})).bytes, "");
  EXPECT_EQ(Decode(Hex({0, 0, 0, 0, 0xFF, 0xFF})).status, DECODE_OK);
  Decoded tiny = Decode(Hex({0x05, 0}));
  EXPECT_EQ(tiny.status, DECODE_OK);
  EXPECT_EQ(tiny.bytes, "");
  EXPECT_EQ(Decode({}).bytes, "");
}

TEST(Decoding, PhraseOfOneHundredBytes) {
  // After "a", "a", referring to the newest entry again and again grows the longest phrase by
  // one byte every second step, up to the limit of 100.
  BitWriter writer;
  ReferenceDecoder model;
  std::string text;
  for (int i = 0; i < 2; ++i) {
    model.NextWidth();
    writer.Literal('a');
    model.Step('a', &text);
  }
  size_t longest = 1;
  while (longest < 100) {
    int width = model.NextWidth();
    int newest = model.dictionary().inUse() - 1;
    writer.Reference(static_cast<uint32_t>(newest - 256), width);
    size_t before = text.size();
    model.Step(newest, &text);
    longest = text.size() - before;
  }
  Decoded out = Decode(MakeBlob(static_cast<uint32_t>(text.size()), writer.bytes()));
  EXPECT_EQ(out.status, DECODE_OK);
  EXPECT_EQ(out.bytes, text);
  EXPECT_EQ(text.substr(text.size() - 100), std::string(100, 'a'));
}

TEST(Decoding, WritesTheWholeLastPhraseEvenPastTheSize) {
  // "abab" with a declared size of 3: the reference "ab" still comes out whole.
  Decoded out = Decode(Hex({0x03, 0, 0, 0, 0x30, 0x98, 0xA0}));
  EXPECT_EQ(out.status, DECODE_OK);
  EXPECT_EQ(out.bytes, "abab");
  EXPECT_EQ(SharedDecoder().produced, 4u);
}

TEST(Decoding, CodeOf4096WritesNothingAndCutsTheLink) {
  std::mt19937 random(7);
  std::string text;
  // Generate until the width reaches 12, then emit the code 4096 and two literals.
  BitWriter writer;
  ReferenceDecoder model;
  int width = 1;
  while (width < 12) {
    width = model.NextWidth();
    int learnt = model.dictionary().inUse() - 256;
    if (learnt == 0 || random() % 3 == 0) {
      uint8_t byte = static_cast<uint8_t>(random() % 256);
      writer.Literal(byte);
      model.Step(byte, &text);
    } else {
      int reach = learnt < (1 << width) ? learnt : (1 << width);
      uint32_t k = random() % static_cast<uint32_t>(reach);
      writer.Reference(k, width);
      model.Step(static_cast<int>(256 + k), &text);
    }
  }
  writer.Reference(3840, 12);
  size_t before = text.size();
  model.Step(4096, &text);
  EXPECT_EQ(text.size(), before);
  int inUse = model.dictionary().inUse();
  model.NextWidth();
  writer.Literal('Q');
  model.Step('Q', &text);
  EXPECT_EQ(model.dictionary().inUse(), inUse) << "no predecessor, nothing learnt";
  Decoded out = Decode(MakeBlob(static_cast<uint32_t>(text.size()), writer.bytes()));
  EXPECT_EQ(out.status, DECODE_OK);
  EXPECT_EQ(out.bytes, text);
}

TEST(Decoding, MatchesThePlainModelOnGeneratedStreams) {
  std::mt19937 random(2024);
  struct Shape {
    size_t size;
    int alphabet;
    double literals;
  };
  // Small alphabets repeat a lot and recycle the dictionary many times over.
  for (Shape shape : {Shape{1, 256, 1.0}, Shape{300, 4, 0.3}, Shape{20000, 256, 0.5},
                      Shape{200000, 3, 0.05}, Shape{200000, 40, 0.2}, Shape{600000, 2, 0.02}}) {
    std::string expected;
    std::vector<uint8_t> blob =
        GenerateStream(&random, shape.size, shape.alphabet, shape.literals, &expected);
    Decoded out = Decode(blob);
    EXPECT_EQ(out.status, DECODE_OK);
    EXPECT_TRUE(out.bytes == expected) << "size " << shape.size << " alphabet " << shape.alphabet;
    std::string plain;
    EXPECT_TRUE(ReferenceDecode(blob, &plain));
    EXPECT_TRUE(plain == expected);
  }
}

TEST(Decoding, FilesInARowDoNotInfluenceEachOther) {
  std::mt19937 random(5);
  std::string first, second;
  std::vector<uint8_t> a = GenerateStream(&random, 50000, 5, 0.1, &first);
  std::vector<uint8_t> b = GenerateStream(&random, 3000, 5, 0.3, &second);
  EXPECT_EQ(Decode(a).bytes, first);
  Decoded after = Decode(b);
  EXPECT_EQ(after.bytes, second);
  EXPECT_TRUE(Decode(a).bytes == first);
}

TEST(CorruptStreams, EndSafelyWithAFailure) {
  // Truncated: "abc" claims 3 bytes but the stream stops after "a".
  EXPECT_EQ(Decode(Hex({0x03, 0, 0, 0, 0x30, 0x80})).status, DECODE_TRUNCATED);
  // A declared size far beyond the stream.
  EXPECT_EQ(Decode(Hex({0xFF, 0xFF, 0xFF, 0xFF, 0x30, 0x98})).status, DECODE_TRUNCATED);
  // The first symbol a reference: no learnt entry is in use yet.
  BitWriter early;
  early.Reference(0, 1);
  EXPECT_EQ(Decode(MakeBlob(1, early.bytes())).status, DECODE_CORRUPT);
  // A reference to an entry one past those in use.
  BitWriter ahead;
  ahead.Literal('a');
  ahead.Literal('b');
  ahead.Reference(1, 1);
  EXPECT_EQ(Decode(MakeBlob(4, ahead.bytes())).status, DECODE_CORRUPT);
}

TEST(CorruptStreams, RandomBytesNeverCrash) {
  std::mt19937 random(99);
  for (int i = 0; i < 2000; ++i) {
    std::vector<uint8_t> blob(4 + random() % 64);
    for (uint8_t& b : blob) b = static_cast<uint8_t>(random());
    blob[2] = blob[3] = 0;  // keep the declared sizes small
    Decoded out = Decode(blob);
    std::string plain;
    if (out.status == DECODE_OK && ReferenceDecode(blob, &plain)) {
      EXPECT_TRUE(out.bytes == plain);
    }
  }
}

TEST(DecompressFile, DecodesFileToFile) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  ASSERT_TRUE(WriteWholeFile(dir / "in", Hex({0x03, 0, 0, 0, 0x30, 0x98, 0x8C, 0x60})));
  EXPECT_EQ(DecompressFile((dir / "in").c_str(), (dir / "out").c_str()), 1);
  std::string text;
  ASSERT_TRUE(ReadWholeFile(dir / "out", &text));
  EXPECT_EQ(text, "abc");

  // A zero-length source gives an empty file.
  ASSERT_TRUE(WriteWholeFile(dir / "empty", std::string()));
  EXPECT_EQ(DecompressFile((dir / "empty").c_str(), (dir / "out2").c_str()), 1);
  ASSERT_TRUE(ReadWholeFile(dir / "out2", &text));
  EXPECT_EQ(text, "");
}

TEST(DecompressFile, FailuresLeaveNoOutput) {
  ScratchDir dir;
  EXPECT_EQ(DecompressFile((dir / "missing").c_str(), (dir / "out").c_str()), 0);
  EXPECT_FALSE(PathExists(dir / "out"));
  ASSERT_TRUE(WriteWholeFile(dir / "cut", Hex({0x03, 0, 0, 0, 0x30})));
  EXPECT_EQ(DecompressFile((dir / "cut").c_str(), (dir / "out").c_str()), 0);
  EXPECT_FALSE(PathExists(dir / "out"));
  // The destination's directory does not exist.
  ASSERT_TRUE(WriteWholeFile(dir / "good", LiteralBlob("xyz")));
  EXPECT_EQ(DecompressFile((dir / "good").c_str(), (dir / "no\\out").c_str()), 0);
}

// Decodes `blob`, staged as a file in `dir`, into the stream `destination`.
DecompressResult DecodeStaged(const ScratchDir& dir, const std::vector<uint8_t>& blob,
                              FILE* destination) {
  static int count = 0;
  std::string in = dir / ("blob" + std::to_string(count++));
  EXPECT_TRUE(WriteWholeFile(in, blob));
  FILE* source = OpenFile(in.c_str(), "rb");
  EXPECT_NE(source, nullptr);
  DecompressResult result = DecodeFileStreams(SharedDecoder(), source, destination);
  fclose(source);
  return result;
}

TEST(DecompressReasons, EachFailureIsToldApart) {
  ScratchDir dir;
  struct Case {
    std::vector<uint8_t> blob;
    DecompressResult expected;
  };
  const Case cases[] = {
      {LiteralBlob("abc"), DECOMPRESS_OK},
      {Hex({0x03, 0, 0, 0, 0x30}), DECOMPRESS_TRUNCATED},
      // A reference to the first learnt entry before any is learnt.
      {MakeBlob(3, {0x80}), DECOMPRESS_CORRUPT},
      // "abab" declared as 3 bytes: the whole last phrase overshoots.
      {Hex({0x03, 0, 0, 0, 0x30, 0x98, 0xA0}), DECOMPRESS_SIZE_MISMATCH},
      {Hex({0, 0, 0, 0}), DECOMPRESS_OK},
      {Hex({0x05, 0}), DECOMPRESS_OK},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string out = dir / ("out" + std::to_string(n++));
    FILE* destination = OpenNewFile(out.c_str(), nullptr);
    ASSERT_NE(destination, nullptr);
    EXPECT_EQ(DecodeStaged(dir, c.blob, destination), c.expected) << n;
  }
  // The destination cannot be written: opened for reading only.
  ASSERT_TRUE(WriteWholeFile(dir / "readonly", std::string()));
  EXPECT_EQ(DecodeStaged(dir, LiteralBlob("abc"), OpenFile((dir / "readonly").c_str(), "rb")),
            DECOMPRESS_WRITE_FAILED);
#ifndef _WIN32
  // A full disk, and a staged blob that cannot be read (a directory opens, but reads fail).
  EXPECT_EQ(DecodeStaged(dir, LiteralBlob(std::string(100000, 'x')), fopen("/dev/full", "wb")),
            DECOMPRESS_NO_SPACE);
  EXPECT_EQ(DecodeStaged(dir, LiteralBlob("x"), fopen("/dev/full", "wb")), DECOMPRESS_NO_SPACE);
  ASSERT_EQ(MakeDirectory((dir / "notafile").c_str()), MAKEDIR_CREATED);
  FILE* unreadable = OpenFile((dir / "notafile").c_str(), "rb");
  ASSERT_NE(unreadable, nullptr);
  FILE* destination = OpenNewFile((dir / "fromdir").c_str(), nullptr);
  EXPECT_EQ(DecodeFileStreams(SharedDecoder(), unreadable, destination), DECOMPRESS_READ_FAILED);
  fclose(unreadable);
#endif
  // Every reason reads differently, in the words of the verification's problem list.
  std::set<std::string> texts;
  for (int r = DECOMPRESS_OK; r <= DECOMPRESS_READ_FAILED; ++r)
    texts.insert(DecompressResultText(static_cast<DecompressResult>(r)));
  EXPECT_EQ(texts.size(), static_cast<size_t>(DECOMPRESS_READ_FAILED + 1));
  EXPECT_NE(std::string(DecompressResultText(DECOMPRESS_NO_SPACE)).find("no space left"),
            std::string::npos);
  EXPECT_NE(std::string(DecompressResultText(DECOMPRESS_CORRUPT)).find("corrupt stream"),
            std::string::npos);
}

}  // namespace
