#include "package/entry_name.h"

#include <cstring>

#include "common/code_page.h"
#include "common/platform.h"

namespace {

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Windows takes the superscript digits one to three as port numbers too: COM\xB9 is a port
// like COM1. They are single bytes (B9, B2, B3) in the Latin code pages, and in UTF-8 the same
// bytes led by C2.
int IsSuperscriptDigit(unsigned char c) {
  return c == 0xB9 || c == 0xB2 || c == 0xB3;
}

// True when the component, up to its first dot, is a DOS device name.
int IsDeviceName(const char* component, size_t length) {
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  size_t stem = 0;
  while (stem < length && component[stem] != '.') ++stem;
  while (stem > 0 && component[stem - 1] == ' ') --stem;
  char upper[8];
  if (stem == 0 || stem >= sizeof upper) return 0;
  for (size_t i = 0; i < stem; ++i) upper[i] = Upper(component[i]);
  upper[stem] = '\0';
  for (const char* device : kDevices)
    if (strcmp(upper, device) == 0) return 1;
  if (stem < 4 || (memcmp(upper, "COM", 3) != 0 && memcmp(upper, "LPT", 3) != 0)) return 0;
  const unsigned char* number = reinterpret_cast<const unsigned char*>(upper + 3);
  if (stem == 4) return (number[0] >= '0' && number[0] <= '9') || IsSuperscriptDigit(number[0]);
  return stem == 5 && number[0] == 0xC2 && IsSuperscriptDigit(number[1]);
}

const char* ComponentProblem(const char* component, size_t length) {
  if (length == 0) return "empty path component";
  if ((length == 1 && component[0] == '.') ||
      (length == 2 && component[0] == '.' && component[1] == '.'))
    return "'.' or '..' component";
  // A character at a time: the second byte of a double-byte character may be '\\' or '|'.
  const char* last = component;
  for (const char* p = component; p < component + length; p = NextChar(p)) {
    last = p;
    unsigned char c = static_cast<unsigned char>(*p);
    if (IsLeadByte(c)) {
      if (p + 1 >= component + length) return "name ends inside a double-byte character";
      continue;
    }
    if (c < 0x20 || c == 0x7F) return "control character in name";
    if (strchr("/:<>\"|?*", c) != nullptr) return "character not allowed in a Windows name";
  }
  if (*last == '.' || *last == ' ') return "component ends with a dot or blank";
  if (IsDeviceName(component, length)) return "reserved device name";
  return nullptr;
}

}  // namespace

const char* EntryNameProblem(const char* name, uint32_t declaredLength) {
  if (declaredLength >= MAX_PATH) return "name of 260 bytes or more";
  if (strlen(name) != declaredLength) return "NUL byte in name";
  if (name[0] != '\\') return "name does not begin with a backslash";
  const char* component = name + 1;
  for (;;) {
    const char* end = FindSeparator(component);
    size_t length = end != nullptr ? static_cast<size_t>(end - component) : strlen(component);
    const char* problem = ComponentProblem(component, length);
    if (problem != nullptr) return problem;
    if (end == nullptr) return nullptr;
    component = end + 1;
  }
}

const char* ComponentNameProblem(const char* name) {
  if (FindSeparator(name) != nullptr) return "separator in a name";
  return ComponentProblem(name, strlen(name));
}
