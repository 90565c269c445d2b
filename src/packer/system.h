// What the packer needs from the operating system beyond the standard library.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace packer {

typedef std::filesystem::path::value_type PathChar;

bool StderrIsTerminal();

// The width of the terminal standard error writes to, in columns; 0 when it cannot be told.
int TerminalColumns();

// Writes straight to standard error, past the C library's buffer and lock: a signal handler may
// call it whatever the interrupted code was doing.
void WriteStderrNow(const char* text, size_t size);

// Creates `path` for binary writing only if nothing of that name exists; null otherwise.
FILE* CreateNewFile(const std::filesystem::path& path);

// The name of a directory entry as the launcher will see it: bytes in the target ANSI code
// page. `codePage` 0 means plain ASCII only. Returns false, with `error` set, when the name
// cannot be represented.
bool ToTargetName(const std::filesystem::path& name, int codePage, std::string* out,
                  std::string* error);

// The path the shared core names with `portable` (backslashes, bytes in the names' code page),
// as this system spells it; empty when it cannot be converted.
std::filesystem::path FromPortablePath(const std::string& portable);

bool IsKnownCodePage(int codePage);

// The characters `bytes` stand for in the Windows ANSI code page `codePage`. A byte that starts
// no valid character there becomes the escape U+DC00 + byte, so every name can be shown and
// compared. False when the code page is not known here.
bool DecodeCodePage(const std::string& bytes, int codePage, std::u32string* out);

// The upper case of a character of the Basic Multilingual Plane as Windows compares file names:
// Unicode's simple, one-to-one mapping, whatever the user's language. Throws Failure when the
// system has no case tables to tell.
char32_t UpperCase(char32_t c);

// Takes away a file, or a directory with everything below it, a link as the link itself;
// `keepTop` keeps the directory and empties it. On POSIX this allocates nothing and takes no
// lock, so a signal handler may call it whatever the interrupted code was doing.
void RemoveNow(const PathChar* path, bool keepTop);

// Calls `cleanUp` once when the process is asked to stop (Ctrl-C, termination, hang-up), then
// exits. A stop signal the process was started to ignore stays ignored.
void OnInterrupt(void (*cleanUp)());

}  // namespace packer
