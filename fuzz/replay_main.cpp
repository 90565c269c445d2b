// Replays inputs through a harness without the fuzzing engine, so that the seed corpora and the
// inputs that once crashed a harness run in ordinary builds (gcc, sanitizers, ctest).
// Usage: <harness>_replay FILE_OR_DIR...; a directory's files are replayed in name order.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

bool Replay(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    fprintf(stderr, "replay: cannot read %s\n", file.c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  // An empty vector's data() may be null; the engine always passes a valid pointer.
  uint8_t none = 0;
  LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int replayed = 0;
  int unreadable = 0;
  for (int i = 1; i < argc; ++i) {
    fs::path arg(argv[i]);
    std::error_code error;
    if (!fs::is_directory(arg, error)) {
      if (Replay(arg))
        ++replayed;
      else
        ++unreadable;
      continue;
    }
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(arg, error))
      if (entry.is_regular_file()) files.push_back(entry.path());
    if (error) {
      fprintf(stderr, "replay: cannot list %s\n", argv[i]);
      ++unreadable;
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
      if (Replay(file))
        ++replayed;
      else
        ++unreadable;
    }
  }
  printf("replayed %d inputs\n", replayed);
  // Replaying nothing would pass without testing anything; a missing corpus is a failure.
  if (replayed == 0) fprintf(stderr, "replay: no inputs (is fuzz/corpus/<harness>/ missing?)\n");
  return unreadable == 0 && replayed > 0 ? 0 : 1;
}
