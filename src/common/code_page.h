// Names and paths are bytes in the users' ANSI code page. In the double-byte code pages (932,
// 936, 949, 950) a lead byte opens a character of two bytes whose second may be '\' or '|' ("ソ"
// is 83 5C in 932), so every scan of a name goes a character at a time.
#pragma once

// The code page the names are in: the system's on Windows (the launcher sets it from GetACP),
// the one given to the tools; 0, the default, has no lead bytes.
void SetNameCodePage(int codePage);
int NameCodePage();

// True when `codePage` has lead bytes this code knows.
int IsDoubleByteCodePage(int codePage);

int IsLeadByte(unsigned char c);

// The character after the one at `p` (which is not the terminator): two bytes on when `p` holds
// a lead byte followed by another byte.
inline const char* NextChar(const char* p) {
  return IsLeadByte(static_cast<unsigned char>(p[0])) && p[1] != '\0' ? p + 2 : p + 1;
}

// The first and the last backslash of `text` that stands for itself, not as the second byte of
// a character; null when there is none.
const char* FindSeparator(const char* text);
const char* FindLastSeparator(const char* text);
