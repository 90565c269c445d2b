// A small Windows program image made byte by byte, laid out as the linker lays out the launcher
// (code, data holding the seal record, resources with the manifest, base relocations last), for
// tests of the packer's PE code that run where no Windows build is at hand. It never runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TestStubShape {
  bool seal = true;                  // the seal record in the data section
  bool resources = true;             // a resource section holding the manifest
  bool relocations = true;           // a relocation section after the resources
  bool pointsIntoResources = false;  // a relocated pointer in the data aimed at the resources
  uint32_t headerRoom = 0x400;       // SizeOfHeaders: 0x200 leaves no room for another section
};

// Offsets and addresses of the parts the tests look at.
enum : uint32_t {
  TEST_STUB_IMAGE_BASE = 0x400000,
  TEST_STUB_DATA_ADDRESS = 0x2000,
  TEST_STUB_POINTERS = 0x60,  // in the data section: the relocated pointers
};

std::vector<uint8_t> MakeTestStub(const TestStubShape& shape = TestStubShape());
// The manifest's bytes as the stub holds them.
std::string TestStubManifest();
