// The encoder: whatever it writes, the decoder reads back exactly; and it writes the worked
// examples bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "decode/decoder.h"
#include "encode/encoder.h"
#include "support/decoding.h"
#include "support/reference_codec.h"

namespace {

std::vector<uint8_t> Encode(const std::string& text, ParseMode mode) {
  static std::unique_ptr<Encoder> encoder(new Encoder());
  std::vector<uint8_t> out;
  EncodeBlob(*encoder, reinterpret_cast<const uint8_t*>(text.data()), text.size(), mode, &out);
  return out;
}

// Decodes with the real decoder and insists on an exact end at the declared size.
std::string Decode(const std::vector<uint8_t>& blob) {
  static std::unique_ptr<Decoder> decoder(new Decoder());
  std::string text;
  uint32_t declared = 0;
  EXPECT_EQ(DecodeToString(*decoder, blob.data(), blob.size(), &text, &declared), DECODE_OK);
  EXPECT_EQ(decoder->produced, declared);
  return text;
}

std::string RandomText(std::mt19937* random, size_t size, int alphabet) {
  std::string text(size, '\0');
  for (char& c : text) c = static_cast<char>('a' + (*random)() % static_cast<unsigned>(alphabet));
  return text;
}

std::string RandomBinary(std::mt19937* random, size_t size) {
  std::string text(size, '\0');
  for (char& c : text) c = static_cast<char>((*random)() & 0xFF);
  return text;
}

// Text with long repeats and small edits, as in program files and documents.
std::string Repetitive(std::mt19937* random, size_t size) {
  std::string words[] = {"setup ", "install ", "directory ", "file\r\n", "\x00\x01\x02\x03"};
  std::string text;
  while (text.size() < size) {
    text += words[(*random)() % 5];
    if ((*random)() % 7 == 0) text += static_cast<char>((*random)() & 0xFF);
  }
  text.resize(size);
  return text;
}

// A long string again and again behind short noise, so that phrases near the longest start
// late in a plan's window: the encoder's furthest look ahead.
std::string NoiseThenRepeat(std::mt19937* random, size_t size) {
  const std::string repeated = RandomBinary(random, 2 * MAX_PHRASE);
  std::string text;
  while (text.size() < size) text += RandomBinary(random, 1 + (*random)() % PLAN_WINDOW) + repeated;
  text.resize(size);
  return text;
}

const ParseMode kModes[] = {PARSE_GREEDY, PARSE_PLANNED};

TEST(EncoderWorkedExamples, ComeOutByteExactly) {
  for (ParseMode mode : kModes) {
    EXPECT_EQ(Encode("abc", mode), (std::vector<uint8_t>{0x03, 0, 0, 0, 0x30, 0x98, 0x8C, 0x60}));
    EXPECT_EQ(Encode("abab", mode), (std::vector<uint8_t>{0x04, 0, 0, 0, 0x30, 0x98, 0xA0}));
    EXPECT_EQ(Encode("abababab", mode),
              (std::vector<uint8_t>{0x08, 0, 0, 0, 0x30, 0x98, 0xA9, 0x00}));
    EXPECT_EQ(Encode("", mode), (std::vector<uint8_t>{0, 0, 0, 0}));
  }
}

TEST(RoundTrip, EdgeLengthsOfEveryKind) {
  std::mt19937 random(11);
  for (size_t size : {0, 1, 2, 99, 100, 101, 4095, 4096, 4097}) {
    for (ParseMode mode : kModes) {
      for (const std::string& text :
           {RandomText(&random, size, 2), RandomText(&random, size, 26),
            RandomBinary(&random, size), Repetitive(&random, size), std::string(size, 'z')}) {
        EXPECT_TRUE(Decode(Encode(text, mode)) == text) << size << " mode " << mode;
      }
    }
  }
}

TEST(RoundTrip, RecyclesTheDictionaryThousandsOfTimes) {
  std::mt19937 random(12);
  // Two megabytes of each kind recycle the 3840 learnt entries hundreds of times each.
  for (ParseMode mode : kModes) {
    for (const std::string& text :
         {RandomText(&random, 2 << 20, 3), RandomBinary(&random, 1 << 20),
          Repetitive(&random, 3 << 20), RandomText(&random, 1 << 20, 200)}) {
      std::vector<uint8_t> blob = Encode(text, mode);
      EXPECT_TRUE(Decode(blob) == text) << text.size() << " mode " << mode;
    }
  }
}

TEST(RoundTrip, AgreesWithThePlainModel) {
  std::mt19937 random(13);
  std::string text = Repetitive(&random, 300000);
  for (ParseMode mode : kModes) {
    std::string plain;
    EXPECT_TRUE(ReferenceDecode(Encode(text, mode), &plain));
    EXPECT_TRUE(plain == text);
  }
}

// The same input handed over in pieces: cuts just before, at and after the look-ahead's edge,
// inside a plan's window, one byte at a time, and at random places.
TEST(Chunked, GivesTheWholeBuffersBlobWhereverTheCutsFall) {
  std::mt19937 random(14);
  std::unique_ptr<Encoder> encoder(new Encoder());
  const std::vector<size_t> pieceSizes = {1,
                                          2,
                                          PLAN_STEP,
                                          PLAN_WINDOW - 1,
                                          PLAN_WINDOW,
                                          ENCODE_LOOKAHEAD - 1,
                                          ENCODE_LOOKAHEAD,
                                          ENCODE_LOOKAHEAD + 1,
                                          2 * ENCODE_LOOKAHEAD - 1,
                                          2 * ENCODE_LOOKAHEAD + 1,
                                          4093};
  for (size_t size : {size_t{0}, size_t{1}, size_t{ENCODE_LOOKAHEAD}, size_t{60000}}) {
    for (const std::string& text :
         {Repetitive(&random, size), RandomBinary(&random, size), std::string(size, 'z'),
          RandomText(&random, size, 3), NoiseThenRepeat(&random, size)}) {
      for (ParseMode mode : kModes) {
        const std::vector<uint8_t> whole = Encode(text, mode);
        auto chunked = [&](const std::function<size_t()>& nextPiece) {
          std::vector<uint8_t> out;
          BlobEncoder blob(*encoder, text.size(), mode, &out);
          const uint8_t* data = reinterpret_cast<const uint8_t*>(text.data());
          for (size_t at = 0; at < text.size();) {
            size_t piece = std::min(nextPiece(), text.size() - at);
            // Followed by other bytes than the input's: a look past the piece shows.
            std::vector<uint8_t> copy(data + at, data + at + piece);
            copy.resize(piece + ENCODE_LOOKAHEAD, static_cast<uint8_t>(at));
            blob.Add(copy.data(), piece);
            at += piece;
          }
          blob.Finish();
          return out;
        };
        for (size_t piece : pieceSizes)
          EXPECT_TRUE(chunked([&] { return piece; }) == whole) << size << " by " << piece;
        EXPECT_TRUE(chunked([&] { return size_t{1} + random() % 300; }) == whole) << size;
        // Pieces that alternate between far more and far less than the look-ahead.
        bool large = false;
        EXPECT_TRUE(chunked([&] { return (large = !large) ? size_t{997} : size_t{3}; }) == whole)
            << size;
      }
    }
  }
  // Taken away between pieces, the output still adds up to the blob; what passes the declared
  // size is left out.
  const std::string text = Repetitive(&random, 50000);
  std::vector<uint8_t> out, drained;
  BlobEncoder blob(*encoder, text.size(), PARSE_PLANNED, &out);
  for (size_t at = 0; at < text.size(); at += 1000) {
    blob.Add(reinterpret_cast<const uint8_t*>(text.data()) + at, 1000);
    drained.insert(drained.end(), out.begin(), out.end());
    out.clear();
  }
  blob.Add(reinterpret_cast<const uint8_t*>("surplus"), 7);
  blob.Finish();
  drained.insert(drained.end(), out.begin(), out.end());
  EXPECT_TRUE(drained == Encode(text, PARSE_PLANNED));
}

}  // namespace
