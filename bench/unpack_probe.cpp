// unpack_probe PACKAGE [RUNS]: what unpacking costs beside decoding alone. Runs, side by side
// and RUNS times each (default 5), (a) the launcher's whole unpacking (staging copy, decoding,
// removal of both directories) and (b) decoding the same blobs straight from the package into
// files, then removing them; prints the medians, their ratio, and the process's peak memory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/paths.h"
#include "common/platform.h"
#include "decode/decoder.h"
#include "package/extract.h"
#include "package/package_file.h"
#include "package/tree_walk.h"

#ifdef _WIN32
#include <windows.h>
// psapi.h needs windows.h first.
#include <psapi.h>
#endif

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// (a) exactly what the launcher does between creating its install directory and removing it.
double Unpack(const char* package) {
  auto start = std::chrono::steady_clock::now();
  char installDir[PATH_BUFFER];
  if (!MakeUniqueTempDir("%sZeKolInst%d", installDir)) exit(1);
  if (ExtractPackage(package, installDir) != EXTRACT_OK)
    fprintf(stderr, "unpack_probe: extraction failed\n");
  RemoveTree(installDir);
  return Seconds(start);
}

// (b) each blob decoded from the package into a file of its own, then all removed.
double DecodeAlone(const char* package, Decoder& decoder) {
  auto start = std::chrono::steady_clock::now();
  char dir[PATH_BUFFER];
  if (!MakeUniqueTempDir("%sdecode%d", dir)) exit(1);
  FILE* file = OpenFile(package, "rb");
  PackageTables tables;
  if (file == nullptr || ReadPackageTables(file, &tables) != PACKAGE_OK) exit(1);
  int index = 0;
  for (PackageEntry* entry = tables.files.first; entry != nullptr; entry = entry->next) {
    char name[32], path[PATH_BUFFER];
    snprintf(name, sizeof name, "%d", index++);
    JoinPath(path, dir, name);
    FILE* out = OpenFile(path, "wb");
    fseek(file, static_cast<long>(tables.dataStart + entry->offset), SEEK_SET);
    ByteSource input;
    ByteSink output;
    InitFileSource(&input, file, decoder.inputBuffer, sizeof decoder.inputBuffer);
    InitSink(&output, decoder.outputBuffer, sizeof decoder.outputBuffer, WriteToFile, out);
    DecodeBlob(decoder, &input, &output, nullptr);
    fclose(out);
  }
  fclose(file);
  RemoveTree(dir);
  return Seconds(start);
}

long PeakKilobytes() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
  return static_cast<long>(counters.PeakWorkingSetSize / 1024);
#else
  FILE* status = fopen("/proc/self/status", "r");
  char line[256];
  long peak = -1;
  while (status != nullptr && fgets(line, sizeof line, status) != nullptr)
    if (strncmp(line, "VmHWM:", 6) == 0) peak = atol(line + 6);
  if (status != nullptr) fclose(status);
  return peak;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: unpack_probe PACKAGE [RUNS]\n");
    return 2;
  }
  char package[PATH_BUFFER];
  if (!ToPortablePath(argv[1], package, MAX_PATH)) return 2;
  int runs = argc > 2 ? atoi(argv[2]) : 5;
  // Memory first, before the decoder below adds its own buffers: the peak of one unpack, and
  // what the process held before it (under Wine, most of that is Wine's own).
  long before = PeakKilobytes();
  Unpack(package);
  long peak = PeakKilobytes();
  std::unique_ptr<Decoder> decoder(new Decoder());
  std::vector<double> unpack, alone;
  for (int i = 0; i < runs; ++i) {
    alone.push_back(DecodeAlone(package, *decoder));
    unpack.push_back(Unpack(package));
  }
  printf(
      "unpack %.3f s, decode alone %.3f s, ratio %.2f, peak memory of one unpack %ld KB"
      " (%ld KB before it)\n",
      Median(unpack), Median(alone), Median(unpack) / Median(alone), peak, before);
  return 0;
}
