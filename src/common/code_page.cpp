#include "common/code_page.h"

namespace {

int g_codePage = 0;

}  // namespace

void SetNameCodePage(int codePage) {
  g_codePage = codePage;
}

int NameCodePage() {
  return g_codePage;
}

int IsDoubleByteCodePage(int codePage) {
  return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}

int IsLeadByte(unsigned char c) {
  switch (g_codePage) {
    case 932:
      return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    case 936:
    case 949:
    case 950:
      return c >= 0x81 && c <= 0xFE;
  }
  return 0;
}

const char* FindSeparator(const char* text) {
  for (const char* p = text; *p != '\0'; p = NextChar(p))
    if (*p == '\\') return p;
  return nullptr;
}

const char* FindLastSeparator(const char* text) {
  const char* last = nullptr;
  for (const char* p = text; *p != '\0'; p = NextChar(p))
    if (*p == '\\') last = p;
  return last;
}
