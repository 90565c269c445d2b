// The writing side of the package format, for the tools: the two tables as bytes. The tables'
// size follows from the names alone, so a writer can reserve room for them, stream the blobs
// behind, and fill the tables in at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PackageRecord {
  std::string name;  // "\dir\file", backslashes between levels
  uint32_t offset;   // into the data area; 0 for directories
  uint32_t size;     // the blob's size; 0 for directories
};

// The directory table, then the file table, exactly as given (no checks).
std::vector<uint8_t> PackageTablesBytes(const std::vector<PackageRecord>& directories,
                                        const std::vector<PackageRecord>& files);

uint64_t PackageTablesSize(const std::vector<PackageRecord>& directories,
                           const std::vector<PackageRecord>& files);
