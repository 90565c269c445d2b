// What a release made for signing looks like on disk: the seal that the packer patches into the
// launcher stub, and the region that a single-file release appends to it. The launcher reads
// these conventions, the packer writes them; both take them from here. Portable: byte buffers
// in, no platform headers. All integers are little-endian.
//
// The seal. The stub carries one SealRecord in its initialised data. Its magic occurs exactly
// once between the start of the file and the end of the last section, and nowhere else in the
// stub, so the packer finds the record by searching that span (never the appended region, whose
// bytes are the publisher's and may hold anything) and rewrites everything behind the magic in
// place. A stub whose flags are 0 has not been sealed: it is the plain launcher, which reads
// Pack.qvd and setup.bmp beside itself unchecked.
//   SEAL_FOLDER:      Pack.qvd and setup.bmp beside the launcher, used only when their sizes and
//                     SHA-256 are the record's.
//   SEAL_SINGLE_FILE: the package and bitmap appended to the stub (below), likewise; nothing
//                     beside the launcher is read.
//   SEAL_SINGLE_FILE | SEAL_BITMAP_COMPRESSED: as SEAL_SINGLE_FILE, with the bitmap stored as
//                     one blob of the package's codec (its 32-bit decoded size, then the
//                     stream). Size and hash are those of the stored, compressed bytes, so the
//                     check comes before anything decodes them.
// Any other value (a bit unknown here, both layouts, compression in a folder) is refused: the
// launcher starts nothing.
// A missing setup.bmp counts as zero bytes, and a bitmap of zero bytes means no splash. So a
// release without a splash is sealed with size 0 and the SHA-256 of nothing, and a setup.bmp
// planted beside it is refused like a changed one. A sealed Pack.qvd or setup.bmp is smaller
// than 4 GiB. The sizes come first: a file of another size is refused before a byte of it is
// read. The launcher opens what it checks once, so that others may read it but neither write,
// rename nor delete it while the run holds it, hashes it where it lies and then reads only that
// open file: a file someone holds open for writing cannot be opened so, and is refused.
//
// A single file:
//   | stub: headers, sections | region: package, bitmap, zero padding, trailer | certificates |
// The region starts at the end of the stub's sections, max(PointerToRawData + SizeOfRawData)
// over the section table, and ends where the certificate table begins (the security entry of
// the data directories, whose address is a file offset) or, unsigned, at the end of the file.
// Signing appends that table at an 8-byte boundary and leaves everything before it in place, so
// the packer pads the region to a multiple of 8 bytes: the trailer then ends it exactly, signed
// or not. The trailer, the region's last TRAILER_BYTES bytes:
//   0   magic, TRAILER_MAGIC
//   16  package offset    20  package size   (offsets from the start of the region)
//   24  bitmap offset     28  bitmap size
// Each of the two lies within the region before the trailer; the packer writes the package at
// offset 0 and the bitmap right behind it. Their sizes must be the seal's. The whole file stays
// below 2 GiB, as package positions are signed 32-bit.
//
// The order of making a release: change the stub's resources, then seal it (and, for a single
// file, append the region), then sign. The stub the packer starts from is stripped and unsigned:
// nothing follows its last section. The launcher reads its own headers from the first
// STUB_HEADER_BYTES of its file, where the section table must end (a packer that rewrites the
// resources checks it with ReadPeLayout on that many bytes). The header checksum is not checked
// for programs and may be left as it is or recomputed.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
  SEAL_MAGIC_BYTES = 16,
  SHA256_BYTES = 32,
  // Offsets in the record, as the packer patches them.
  SEAL_FLAGS_OFFSET = 16,
  SEAL_PACKAGE_HASH_OFFSET = 20,
  SEAL_BITMAP_HASH_OFFSET = 52,
  SEAL_PACKAGE_SIZE_OFFSET = 84,
  SEAL_BITMAP_SIZE_OFFSET = 88,
  SEAL_RECORD_BYTES = 92,
};

enum : uint32_t {
  SEAL_FOLDER = 1,
  SEAL_SINGLE_FILE = 2,
  SEAL_BITMAP_COMPRESSED = 4,
};

struct SealRecord {
  unsigned char magic[SEAL_MAGIC_BYTES];
  uint32_t flags;
  unsigned char packageHash[SHA256_BYTES];
  unsigned char bitmapHash[SHA256_BYTES];
  uint32_t packageSize;
  uint32_t bitmapSize;
};
static_assert(sizeof(SealRecord) == SEAL_RECORD_BYTES, "the record has no padding");
static_assert(offsetof(SealRecord, flags) == SEAL_FLAGS_OFFSET, "flags after the magic");
static_assert(offsetof(SealRecord, packageHash) == SEAL_PACKAGE_HASH_OFFSET, "package hash");
static_assert(offsetof(SealRecord, bitmapHash) == SEAL_BITMAP_HASH_OFFSET, "bitmap hash");
static_assert(offsetof(SealRecord, packageSize) == SEAL_PACKAGE_SIZE_OFFSET, "package size");
static_assert(offsetof(SealRecord, bitmapSize) == SEAL_BITMAP_SIZE_OFFSET, "bitmap size");

// The stub's record as it is built. Only the stub's own record may be initialised from it: the
// magic must stay unique in the stub's image.
constexpr SealRecord UNSEALED_RECORD = {
    {'Z', 'e', 'K', 'o', 'S', 'e', 'a', 'l', 0x00, 0x1A, 0xC3, 0x5E, 0x91, 0x27, 0xD4, 0x6B},
    0,
    {},
    {},
    0,
    0};

enum {
  TRAILER_BYTES = 32,
  TRAILER_MAGIC_BYTES = 16,
  // A table of certificates starts at a multiple of this; so does the end of the region.
  REGION_ALIGNMENT = 8,
  // The largest file position a package read can seek to.
  MAX_BUNDLE_POSITION = 0x7FFFFFFF,
  // What the launcher reads of its own file to find its sections' end.
  STUB_HEADER_BYTES = 1024,
};

constexpr unsigned char TRAILER_MAGIC[TRAILER_MAGIC_BYTES] = {
    'Z', 'e', 'K', 'o', 'T', 'a', 'i', 'l', 0x00, 0x1A, 0x8F, 0x42, 0x3D, 0xE6, 0x70, 0xB9};

// Where a stub's sections end and where the region appended to them would end.
struct PeLayout {
  uint32_t sectionsEnd;  // the region's start
  uint32_t regionEnd;    // the certificate table's start, or the file's size without one
};

// Reads the layout from the first `headBytes` bytes of a file of `fileSize` bytes, which must
// hold the DOS header, the PE headers and the section table. Returns 0 for anything else: no
// PE signature, headers or sections past the buffer or the file, no section with data, a
// certificate table that is not behind the sections and inside the file, a file of 2 GiB or
// more.
int ReadPeLayout(const unsigned char* head, size_t headBytes, unsigned long long fileSize,
                 PeLayout* layout);

struct BundleTrailer {
  uint32_t packageOffset;
  uint32_t packageSize;
  uint32_t bitmapOffset;
  uint32_t bitmapSize;
};

// Reads the trailer, the TRAILER_BYTES bytes that end the region of `layout`. Returns 0 when the
// region is too short to hold one, the magic differs, or the package or the bitmap does not lie
// within the region before the trailer.
int ReadBundleTrailer(const unsigned char* trailer, const PeLayout& layout, BundleTrailer* out);

// What a reader of a release needs from its seal and, for a single file, its trailer: where
// the package and the stored bitmap lie, how many bytes each must have, what their SHA-256 must
// be, and whether the bitmap is to be decoded before it is shown.
struct SealedRelease {
  uint32_t flags;
  uint32_t packagePosition;  // in the launcher's file for a single file; 0 for a folder
  uint32_t packageSize;
  uint32_t bitmapPosition;  // likewise
  uint32_t bitmapSize;      // stored bytes; 0 for no splash
  int bitmapCompressed;
  unsigned char packageHash[SHA256_BYTES];
  unsigned char bitmapHash[SHA256_BYTES];
};

enum SealStatus {
  SEAL_OK,
  SEAL_NOT_SEALED,      // flags 0: the plain launcher
  SEAL_NOT_UNDERSTOOD,  // flags this reader does not know, or that contradict each other
  SEAL_NO_REGION,       // a single file without a trailer that holds its ranges
  SEAL_REGION_DIFFERS,  // a trailer whose sizes are not the seal's
};

// Reads the SEAL_RECORD_BYTES of a seal record at `record`. For a single file, `layout` is the
// launcher's and `trailer` the TRAILER_BYTES that end its region; both may be null for a folder
// (and for a single file, which then reads as SEAL_NO_REGION). `out` is filled as far as read.
SealStatus ReadSealedRelease(const unsigned char* record, const PeLayout* layout,
                             const unsigned char* trailer, SealedRelease* out);

// The packer's side (linked into the tools only, never the stub, whose image must not hold the
// seal's magic a second time).

// The offset of the one seal record in `image[0..searchEnd)`; -1 when the magic occurs there
// not at all, more than once, or too close to the end for the whole record.
long FindSealRecord(const unsigned char* image, size_t searchEnd);

// Zero bytes to put between the bitmap and the trailer when `contentBytes` precede them in the
// region, so that the region's length is a multiple of REGION_ALIGNMENT.
inline uint32_t TrailerPadding(uint32_t contentBytes) {
  return (REGION_ALIGNMENT - contentBytes % REGION_ALIGNMENT) % REGION_ALIGNMENT;
}

void WriteBundleTrailer(const BundleTrailer& trailer, unsigned char* out);
