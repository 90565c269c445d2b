// Path helpers shared by the launcher and the tools: bounded joins, the file beside the
// launcher and fresh directories under the temporary directory.
#pragma once

#include "common/platform.h"

// Formats `pattern` into `out` (PATH_BUFFER bytes): each "%s" takes the next of `first` and
// `second`, "%d" takes `number`. Returns 0, with `out` empty, when the result would not be a
// valid MAX_PATH path. The launcher's only formatting, kept this small so that it pulls no
// printf machinery into the stub.
int FormatPath(char* out, const char* pattern, const char* first, const char* second, int number);

// "%s\%s" of `dir` and `name` into `out` (PATH_BUFFER bytes); 0 when the result would not be a
// valid MAX_PATH path, in which case `out` holds an empty string.
int JoinPath(char* out, const char* dir, const char* name);
// "%s%s": `name` is appended as it stands (package names carry their own leading backslash).
int AppendPath(char* out, const char* dir, const char* name);

// The launcher's own directory followed by "\" and `name`.
int FileBesideLauncher(const char* name, char* out);

// Formats `pattern` ("%s...%d...") with the temporary directory and n = 0, 1, 2, ... and takes
// the first name whose directory this call itself creates, private to the current user. A name
// that exists already is passed over, never reused; any other failure, no temporary directory,
// or a name too long to be searched with "\*.*" appended within MAX_PATH gives up and returns 0.
int MakeUniqueTempDir(const char* pattern, char* out);
