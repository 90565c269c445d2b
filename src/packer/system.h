// What the packer needs from the operating system beyond the standard library.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace packer {

typedef std::filesystem::path::value_type PathChar;

#ifdef _WIN32
// The command line as UTF-8, from the wide arguments: every name the user can type arrives.
std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv);
#endif
// Sets up the console for UTF-8 text, which is what the tool writes: on Windows for as long as
// the program runs.
void PrepareConsole();

bool StderrIsTerminal();
bool IsTerminal(FILE* stream);
// Standard input or output carrying bytes as they are: on Windows no line ends are changed and
// ^Z ends nothing.
void UseBinaryMode(FILE* stream);

// Opens `path` for binary reading, whatever the script of its name.
FILE* OpenForReading(const std::filesystem::path& path);

// The running program's own file, to find what was installed beside it.
std::filesystem::path ExecutablePath();

// The width of the terminal standard error writes to, in columns; 0 when it cannot be told.
int TerminalColumns();

// Writes straight to standard error, past the C library's buffer and lock: a signal handler may
// call it whatever the interrupted code was doing.
void WriteStderrNow(const char* text, size_t size);

// What becomes of a file made by CreateNewFile. On Windows the last two go with the process
// however it ends (TerminateProcess too), so that a hard stop leaves none behind.
enum class NewFile {
  kept,        // removed by whoever made it, by name
  putInPlace,  // renamed into place by PutInPlace; until then marked for deletion
  readByName,  // read through other handles (OpenForReading) while this one stays open; it goes
               // when this handle is closed
  unnamed,     // read back only through this handle: natively its name goes at once
};

// Creates `path` for binary writing (and reading back) only if nothing of that name exists; null
// otherwise. On Windows the file may be deleted while it is open, which the stop handler needs:
// it runs on a thread of its own while the main thread may still be writing. Natively only its
// owner may read it: temporary files often lie in folders that others share.
FILE* CreateNewFile(const std::filesystem::path& path, NewFile life = NewFile::kept);

// Closes `file`, made at `temporary`, and renames it over `target`; false, with `error` set,
// when either fails.
bool PutInPlace(FILE* file, const std::filesystem::path& temporary,
                const std::filesystem::path& target, std::string* error);

// Gives a file made by CreateNewFile the access a new file of the user's gets (the umask's), as
// it becomes the output the user asked for.
void GiveUsualAccess(FILE* file);

// The file standard output writes to, when it is one; empty otherwise.
std::filesystem::path StandardOutputFile();

// The path the shared core opens for `path` (backslashes, bytes in the names' code page; on
// Windows in the ANSI code page, or the short form of a path that code page cannot spell).
// False when there is no such path.
bool ToCorePath(const std::filesystem::path& path, std::string* out);

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
// exits with 130 (128 + the signal on POSIX) at once, without the C runtime's clean-up. A stop
// signal the process was started to ignore stays ignored.
void OnInterrupt(void (*cleanUp)());

// Held while the shared core unpacks. On Windows, where the stop handler runs on a thread of its
// own and a file cannot be deleted while it is open, a stop first refuses the core new files and
// waits a while for it to fail at its next step and let go of what it holds; the holder then
// hands over to the handler and never returns. On POSIX the handler interrupts the core itself,
// and unlinking an open file works: nothing to do.
class CoreAtWork {
 public:
  CoreAtWork();
  ~CoreAtWork();
  CoreAtWork(const CoreAtWork&) = delete;
  CoreAtWork& operator=(const CoreAtWork&) = delete;
};

// Whether a stop is being handled: what fails meanwhile is its doing, not worth a message.
bool Stopping();

}  // namespace packer
