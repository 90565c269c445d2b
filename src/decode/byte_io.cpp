#include "decode/byte_io.h"

void InitMemorySource(ByteSource* source, const uint8_t* data, size_t size) {
  source->next = data;
  source->end = data + size;
  source->file = nullptr;
  source->buffer = nullptr;
  source->capacity = 0;
}

void InitFileSource(ByteSource* source, FILE* file, uint8_t* buffer, size_t capacity) {
  source->next = buffer;
  source->end = buffer;
  source->file = file;
  source->buffer = buffer;
  source->capacity = capacity;
}

int RefillSource(ByteSource* source) {
  if (source->file == nullptr) return 0;
  size_t got = fread(source->buffer, 1, source->capacity, source->file);
  source->next = source->buffer;
  source->end = source->buffer + got;
  return got > 0;
}

void InitSink(ByteSink* sink, uint8_t* buffer, size_t capacity, SinkWriter writer, void* context) {
  sink->buffer = buffer;
  sink->capacity = capacity;
  sink->used = 0;
  sink->writer = writer;
  sink->context = context;
  sink->failed = 0;
}

int FlushSink(ByteSink* sink) {
  if (sink->used > 0 && !sink->failed && !sink->writer(sink->context, sink->buffer, sink->used))
    sink->failed = 1;
  sink->used = 0;
  return !sink->failed;
}

int WriteToFile(void* file, const uint8_t* data, size_t size) {
  return fwrite(data, 1, size, static_cast<FILE*>(file)) == size;
}
