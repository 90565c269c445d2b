// Buffered byte input and output for the codec: a source is either a whole blob in memory or a
// file read through a fixed buffer; a sink collects output in a fixed buffer and hands it on in
// large chunks. No per-byte calls leave this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct ByteSource {
  const uint8_t* next;
  const uint8_t* end;
  FILE* file;  // null for a memory source
  uint8_t* buffer;
  size_t capacity;
};

void InitMemorySource(ByteSource* source, const uint8_t* data, size_t size);
void InitFileSource(ByteSource* source, FILE* file, uint8_t* buffer, size_t capacity);
// Makes more bytes available; 0 at the end of the input (or on a read error).
int RefillSource(ByteSource* source);

// Takes one byte, or returns -1 at the end.
inline int TakeByte(ByteSource* source) {
  if (source->next == source->end && !RefillSource(source)) return -1;
  return *source->next++;
}

typedef int (*SinkWriter)(void* context, const uint8_t* data, size_t size);

struct ByteSink {
  uint8_t* buffer;
  size_t capacity;
  size_t used;
  SinkWriter writer;
  void* context;
  int failed;
};

void InitSink(ByteSink* sink, uint8_t* buffer, size_t capacity, SinkWriter writer, void* context);
// Hands the buffered bytes on; returns 0 once any write has failed.
int FlushSink(ByteSink* sink);
// A writer that appends to a FILE*.
int WriteToFile(void* file, const uint8_t* data, size_t size);
