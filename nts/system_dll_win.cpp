// Loading the non-KnownDLLs of authenticated time from System32 alone.
#include "nts/system_dll_win.h"

HMODULE systemDll(const wchar_t* name) {
  // Never freed: the handles, keys and contexts made from it live as long as
  // the program, and a second load of a loaded DLL only counts it again.
  return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}
