// Micro-benchmarks of the codec on the benchmark corpus (or on generated data when no corpus is
// given): decoding from memory, encoding with each parse, and one dictionary update.
//   codec_bench [--corpus FILE] [benchmark options]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "decode/decoder.h"
#include "encode/encoder.h"

namespace {

std::vector<uint8_t> g_input;

std::vector<uint8_t> LoadOrGenerate(const char* path) {
  std::vector<uint8_t> data;
  if (path != nullptr) {
    FILE* file = fopen(path, "rb");
    if (file != nullptr) {
      uint8_t buffer[1 << 16];
      size_t got;
      // The first 16 MB are plenty for stable figures.
      while ((got = fread(buffer, 1, sizeof buffer, file)) > 0 && data.size() < (16u << 20))
        data.insert(data.end(), buffer, buffer + got);
      fclose(file);
      return data;
    }
    fprintf(stderr, "codec_bench: cannot read %s, using generated data\n", path);
  }
  // Text-like data with long repeats and some noise.
  std::mt19937 random(1);
  const char* words[] = {"install ", "setup ", "directory ", "\r\n", "Windows ", "file "};
  while (data.size() < (8u << 20)) {
    const char* word = words[random() % 6];
    data.insert(data.end(), word, word + strlen(word));
    if (random() % 5 == 0) data.push_back(static_cast<uint8_t>(random()));
  }
  return data;
}

int Discard(void*, const uint8_t*, size_t) {
  return 1;
}

std::vector<uint8_t> Encoded(ParseMode mode) {
  std::unique_ptr<Encoder> encoder(new Encoder());
  std::vector<uint8_t> blob;
  EncodeBlob(*encoder, g_input.data(), g_input.size(), mode, &blob);
  return blob;
}

void BM_Decode(benchmark::State& state) {
  std::vector<uint8_t> blob = Encoded(PARSE_PLANNED);
  std::unique_ptr<Decoder> decoder(new Decoder());
  for (auto _ : state) {
    ByteSource input;
    ByteSink output;
    InitMemorySource(&input, blob.data(), blob.size());
    InitSink(&output, decoder->outputBuffer, sizeof decoder->outputBuffer, Discard, nullptr);
    if (DecodeBlob(*decoder, &input, &output, nullptr) != DECODE_OK) state.SkipWithError("decode");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_input.size()));
}

void BM_Encode(benchmark::State& state) {
  ParseMode mode = static_cast<ParseMode>(state.range(0));
  std::unique_ptr<Encoder> encoder(new Encoder());
  size_t size = 0;
  for (auto _ : state) {
    std::vector<uint8_t> blob;
    blob.reserve(g_input.size());
    EncodeBlob(*encoder, g_input.data(), g_input.size(), mode, &blob);
    size = blob.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_input.size()));
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(g_input.size());
}

// One update with recycling, the decoder's commonest step once the dictionary is full.
void BM_AddPhrasesFull(benchmark::State& state) {
  std::unique_ptr<DecoderDictionary> d(new DecoderDictionary());
  ResetDictionary(*d);
  std::mt19937 random(3);
  uint8_t phrase[4];
  while (d->inUse < DICT_SIZE) {
    for (uint8_t& b : phrase) b = static_cast<uint8_t>(random());
    AddPhrases(*d, phrase, 4, static_cast<int>(random() % 256), 1);
  }
  int previous = 0;
  for (auto _ : state) {
    for (uint8_t& b : phrase) b = static_cast<uint8_t>(random());
    AddPhrases(*d, phrase, 4, previous, 1);
    previous = (previous + 1) & 255;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 4));
}

BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)->Arg(PARSE_GREEDY)->Arg(PARSE_PLANNED)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddPhrasesFull);

}  // namespace

int main(int argc, char** argv) {
  const char* corpus = nullptr;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--corpus") == 0 && i + 1 < argc)
      corpus = argv[++i];
    else
      rest.push_back(argv[i]);
  }
  g_input = LoadOrGenerate(corpus);
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
