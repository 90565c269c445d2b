// Lets a Windows test program stand between the code under test and a system call: the entry of
// the program's own import table through which every call to the function goes is replaced.
#pragma once

// Replaces `function` of `dll` in this program's import table with `replacement` and returns the
// original, or null when the program does not import that function by name.
void* ReplaceImport(const char* dll, const char* function, void* replacement);

// The same for a typed function pointer, which becomes the original.
template <typename Function>
bool HookImport(const char* dll, const char* function, Function replacement, Function* original) {
  void* previous = ReplaceImport(dll, function, reinterpret_cast<void*>(replacement));
  *original = reinterpret_cast<Function>(previous);
  return previous != nullptr;
}
