// Calls that not every kernel32 has (newer Windows, or not under Wine): found
// by name at run time, nullptr where missing. kernel32 is always loaded and
// always the system's own.
#pragma once
#include <windows.h>

template <typename Call>
Call kernelCall(const char* name) {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC found = kernel != nullptr ? GetProcAddress(kernel, name) : nullptr;
  return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
}
