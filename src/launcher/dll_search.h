// Keeps DLLs planted beside the launcher out of its process.
#pragma once

// From here on, every library the process loads by name, itself or inside a system DLL, comes
// from the system directory only. Does nothing on systems that cannot restrict the search.
void RestrictDllSearch();
