#include "common/paths.h"

#include "common/code_page.h"

#include <climits>
#include <cstring>

int FormatPath(char* out, const char* pattern, const char* first, const char* second, int number) {
  const char* texts[2] = {first, second};
  int nextText = 0;
  int used = 0;
  for (const char* p = pattern; *p != '\0'; ++p) {
    char digits[12];
    const char* piece = digits;
    int length = 1;
    if (p[0] == '%' && p[1] == 's' && nextText < 2) {
      piece = texts[nextText++];
      length = static_cast<int>(strlen(piece));
      ++p;
    } else if (p[0] == '%' && p[1] == 'd') {
      // Digits from the back; the number is never negative here, but stay correct if it were.
      unsigned value =
          number < 0 ? 0u - static_cast<unsigned>(number) : static_cast<unsigned>(number);
      int at = sizeof digits;
      do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
      } while (value != 0);
      if (number < 0) digits[--at] = '-';
      piece = digits + at;
      length = static_cast<int>(sizeof digits) - at;
      ++p;
    } else {
      digits[0] = *p;
    }
    if (used + length >= MAX_PATH) {
      out[0] = '\0';
      return 0;
    }
    memcpy(out + used, piece, static_cast<size_t>(length));
    used += length;
  }
  out[used] = '\0';
  return 1;
}

int JoinPath(char* out, const char* dir, const char* name) {
  return FormatPath(out, "%s\\%s", dir, name, 0);
}

int AppendPath(char* out, const char* dir, const char* name) {
  return FormatPath(out, "%s%s", dir, name, 0);
}

int FileBesideLauncher(const char* name, char* out) {
  char self[PATH_BUFFER];
  out[0] = '\0';
  if (!GetLauncherPath(self, MAX_PATH)) return 0;
  char* cut = const_cast<char*>(FindLastSeparator(self));
  if (cut == nullptr) return 0;
  *cut = '\0';
  return JoinPath(out, self, name);
}

int MakeUniqueTempDir(const char* pattern, char* out) {
  char temp[PATH_BUFFER];
  out[0] = '\0';
  if (!GetTempDirectory(temp, MAX_PATH)) return 0;
  for (int n = 0; n < INT_MAX; ++n) {
    // A directory that could be created but never listed could not be filled or emptied.
    if (!FormatPath(out, pattern, temp, nullptr, n) || strlen(out) > MAX_DIRECTORY_PATH) break;
    MakeDirResult made = MakePrivateDirectory(out);
    if (made == MAKEDIR_CREATED) return 1;
    if (made == MAKEDIR_FAILED) break;
  }
  out[0] = '\0';
  return 0;
}
