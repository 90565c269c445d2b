// Decoding a blob held in memory into a string, as the tests and fuzzers check it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decode/decoder.h"

// Decodes `blob` with `decoder` (through its own output buffer) into `out`; `declared`, when
// not null, receives the size the blob declares.
DecodeStatus DecodeToString(Decoder& decoder, const uint8_t* blob, size_t size, std::string* out,
                            uint32_t* declared = nullptr);
