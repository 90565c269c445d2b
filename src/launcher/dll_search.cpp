#include "launcher/dll_search.h"

#include <windows.h>

void RestrictDllSearch() {
  // A launcher usually runs from a downloads folder, where a site may have dropped a DLL named
  // like one that a system DLL loads on demand. The application's folder is searched first by
  // default, so such a DLL would run inside the launcher. Looked up at run time because systems
  // without the update that brought the call must still start.
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesCall)(DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  SetDefaultDllDirectoriesCall restrictSearch = reinterpret_cast<SetDefaultDllDirectoriesCall>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (restrictSearch != nullptr) restrictSearch(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
