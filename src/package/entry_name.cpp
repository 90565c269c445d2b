#include "package/entry_name.h"

#include <cstring>

#include "common/code_page.h"
#include "common/platform.h"

namespace {

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Windows takes the superscript digits one to three as port numbers too: COM\xB9 is a port like
// COM1. Which bytes spell them depends on the names' code page: B9, B2 and B3 in most Latin
// ones but not in 1250 (where they are letters) or 1251, only B2 and B3 in Greek 1253, none in
// the double-byte ones, C2 before them in UTF-8. With no code page known, every spelling counts.
int IsSuperscriptPort(const unsigned char* number, size_t length) {
  int page = NameCodePage();
  unsigned char last = number[length - 1];
  int superscript = last == 0xB9 || last == 0xB2 || last == 0xB3;
  if (length == 2) return number[0] == 0xC2 && superscript && (page == 0 || page == 65001);
  if (page == 1253) return last == 0xB2 || last == 0xB3;
  return superscript && (page == 0 || page == 1252 || (page >= 1254 && page <= 1258));
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
  if (stem == 4 && number[0] >= '0' && number[0] <= '9') return 1;
  return stem <= 5 && IsSuperscriptPort(number, stem - 3);
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

const char* UnpackedLengthProblem(const char* name, int isDirectory) {
  const size_t shortest = sizeof "C:\\latmp0.tmp" - 1;
  size_t length = shortest + strlen(name);
  if (isDirectory ? length > MAX_DIRECTORY_PATH : length >= MAX_PATH)
    return isDirectory ? "directory name too long to be listed once unpacked"
                       : "name too long to be unpacked under any temporary directory";
  return nullptr;
}
