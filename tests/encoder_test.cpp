// The encoder: whatever it writes, the decoder reads back exactly; and it writes the worked
// examples bit for bit.
#include <gtest/gtest.h>

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

}  // namespace
