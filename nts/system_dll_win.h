// The crypto and TLS DLLs that authenticated time needs (bcrypt, crypt32,
// secur32) are not KnownDLLs: a file of that name beside the exe would be
// loaded in their place. They are loaded from the system folder by full
// search rule instead, and their calls found by name, so the exe imports
// nothing new. A missing DLL or call yields nullptr: the caller reports the
// feature as unavailable.
#pragma once
#include <windows.h>

// The DLL from System32 only, loaded once and kept for the process's life;
// nullptr when it is absent or the loader lacks the System32-only search
// (Windows 7 without its loader update).
HMODULE systemDll(const wchar_t* name);

template <typename Call>
Call systemCall(HMODULE dll, const char* name) {
  FARPROC found = dll != nullptr ? GetProcAddress(dll, name) : nullptr;
  return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
}
