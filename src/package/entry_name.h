// What a package entry name may be. The launcher appends names to its own directories as they
// stand, so a name is the only thing between a crafted package and the rest of the disk.
#pragma once

#include <cstdint>

// Returns null for a safe name, else a short description of what is wrong. `declaredLength` is
// the length the package gives; `name` holds its first bytes, NUL-terminated.
// A safe name begins with a backslash, is shorter than MAX_PATH, and every component between
// backslashes is a plain Windows file name: not empty, "." or "..", no control characters, none
// of / : < > " | ? *, no trailing dot or blank, and not a reserved device name such as CON,
// COM1 or LPT\xB3 (superscript three in code page 1252, read in the names' code page), which
// would address a device instead of a file.
const char* EntryNameProblem(const char* name, uint32_t declaredLength);

// Null when `name` (NUL-terminated) is one plain component that may be joined to a directory
// path: what EntryNameProblem asks of each component, and no backslash.
const char* ComponentNameProblem(const char* name);

// Null when `name`, a safe name, can be unpacked under some temporary directory: below the
// shortest one there can be ("C:\latmp0.tmp"), a file's path must fit MAX_PATH and a directory's
// must leave room for the search that lists it. The launcher checks its real paths; the tools,
// which do not know them, refuse what no machine could unpack.
const char* UnpackedLengthProblem(const char* name, int isDirectory);
