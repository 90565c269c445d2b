// Names as text: a package's names for a terminal, for JSON and as Windows compares them, and
// the paths given on the command line as the shared core takes them.
#pragma once

#include <filesystem>
#include <string>

namespace packer {

// The portable (backslash) form of a path given on the command line, for the shared core.
std::string PortablePath(const std::filesystem::path& path);

// Hands the names' code page to the shared core, whose name rules read the names of a
// double-byte code page a character at a time. Throws Failure unless `codePage` is 0 or a code
// page this system can convert from.
void UseCodePage(int codePage);

// A name from a package as text for a terminal: through `codePage` (when not 0) into UTF-8, and
// every byte or character that would move the cursor, start a terminal command or reorder the
// line written as \x1b or \u202e, so that no package can rewrite the screen or forge a line.
// Bytes beyond ASCII are written as \xNN too, unless the code page gave them a meaning.
std::string PrintableName(const std::string& name, int codePage);

// JSON text (UTF-8) with the characters that steer a terminal or reorder a line written as
// \u escapes, so that machine-readable output is as safe to show as the rest.
std::string EscapeSteering(const std::string& json);

// A name from a package as UTF-8 text, for machine-readable output: through `codePage`, or as
// it stands when it is plain ASCII. False when some byte has no meaning there.
bool NameText(const std::string& name, int codePage, std::string* utf8);

// Names that Windows takes for the same file get the same key: letters are compared by their
// upper case. Through `codePage` every letter counts; with 0 only ASCII letters do.
std::string CaseKey(const std::string& name, int codePage);

}  // namespace packer
