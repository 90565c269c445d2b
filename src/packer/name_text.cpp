#include "packer/name_text.h"

#include <cstdio>

#include "common/code_page.h"
#include "common/platform.h"
#include "packer/failure.h"
#include "packer/system.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

// Characters that steer a terminal or the order of a line instead of showing: C0 and C1
// controls, DEL, line and paragraph separators, and the bidirectional marks, embeddings,
// overrides and isolates.
bool Steers(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// DecodeCodePage's stand-in for a byte that starts no character.
bool IsByteEscape(char32_t c) {
  return c >= 0xDC00 && c <= 0xDCFF;
}

void AppendEscape(std::string* out, const char* format, unsigned value) {
  char text[16];
  snprintf(text, sizeof text, format, value);
  *out += text;
}

// UTF-8, the byte escapes included as three-byte sequences (they only ever serve as keys).
void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | c >> 6));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | c >> 12));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | c >> 18));
    out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

char32_t FoldCase(char32_t c) {
  if (c < 0x80) return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
  // NTFS upper-cases UTF-16 units through a table of 65536 entries: characters beyond the Basic
  // Multilingual Plane keep their case, and so do the byte escapes.
  if (c > 0xFFFF || (c >= 0xD800 && c <= 0xDFFF)) return c;
  return UpperCase(c);
}

}  // namespace

std::string PortablePath(const fs::path& path) {
  std::string out;
  if (!ToCorePath(path, &out))
    throw FileFailure(path.string() + ": path too long for the launcher's " +
                      std::to_string(MAX_PATH) + "-byte limit, or not in this system's code page");
  return out;
}

void UseCodePage(int codePage) {
  if (codePage != 0 && !IsKnownCodePage(codePage))
    throw UsageFailure("code page " + std::to_string(codePage) + " is not known here");
  // UTF-8 names have no lead bytes and are what the POSIX layer writes anyway.
  SetNameCodePage(codePage == 65001 ? 0 : codePage);
}

std::string PrintableName(const std::string& name, int codePage) {
  std::string out;
  std::u32string characters;
  if (codePage == 0 || !DecodeCodePage(name, codePage, &characters)) {
    for (unsigned char byte : name)
      if (byte >= 0x20 && byte < 0x7F)
        out.push_back(static_cast<char>(byte));
      else
        AppendEscape(&out, "\\x{%02x}", byte);
    return out;
  }
  for (char32_t c : characters)
    if (IsByteEscape(c))
      AppendEscape(&out, "\\x{%02x}", static_cast<unsigned>(c - 0xDC00));
    else if (Steers(c))
      AppendEscape(&out, c < 0x100 ? "\\x{%02x}" : "\\u{%04x}", static_cast<unsigned>(c));
    else
      AppendUtf8(&out, c);
  return out;
}

std::string EscapeSteering(const std::string& json) {
  std::string out;
  for (size_t i = 0; i < json.size();) {
    unsigned char lead = static_cast<unsigned char>(json[i]);
    size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (i + length > json.size()) length = json.size() - i;
    char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (size_t k = 1; k < length; ++k)
      c = c << 6 | (static_cast<unsigned char>(json[i + k]) & 0x3F);
    // Below DEL the serializer has escaped what steers already.
    if (c >= 0x7F && Steers(c))
      AppendEscape(&out, "\\u%04x", static_cast<unsigned>(c));
    else
      out.append(json, i, length);
    i += length;
  }
  return out;
}

bool NameText(const std::string& name, int codePage, std::string* utf8) {
  utf8->clear();
  std::u32string characters;
  if (codePage == 0 || !DecodeCodePage(name, codePage, &characters)) {
    for (unsigned char byte : name)
      if (byte >= 0x80) return false;
    *utf8 = name;
    return true;
  }
  for (char32_t c : characters) {
    if (IsByteEscape(c)) return false;
    AppendUtf8(utf8, c);
  }
  return true;
}

std::string CaseKey(const std::string& name, int codePage) {
  std::u32string characters;
  if (codePage == 0 || !DecodeCodePage(name, codePage, &characters)) {
    // Only ASCII letters, and only those behind an ASCII byte: in a double-byte code page the
    // byte after a lead byte (0x81 or above) may be the second half of a character, and folding
    // it would merge two different characters.
    std::string key = name;
    unsigned char previous = 0;
    for (char& c : key) {
      unsigned char byte = static_cast<unsigned char>(c);
      if (byte >= 'a' && byte <= 'z' && previous < 0x80) c = static_cast<char>(byte - 'a' + 'A');
      previous = byte;
    }
    return key;
  }
  std::string key;
  for (char32_t c : characters) AppendUtf8(&key, FoldCase(c));
  return key;
}

}  // namespace packer
