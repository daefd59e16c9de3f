// Tests that set the clock or write the registry outside a key of their own
// (our settings, the log-on and uninstall entries) run only under Wine, in a
// throw-away prefix without the right to move the host's clock. On a real PC
// they would damage it, so there they are skipped.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

// QV_TESTS_ASSUME_NOT_WINE=1 makes Wine count as a real PC, so that the test
// suite can show that nothing guarded runs there.
inline bool runningUnderWine() {
  char assume[4] = "";
  if (GetEnvironmentVariableA("QV_TESTS_ASSUME_NOT_WINE", assume, sizeof assume) == 1 &&
      assume[0] == '1')
    return false;
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// First statement of a guarded test or fixture SetUp. gtest still runs
// TearDown after a skip in SetUp: a guarded TearDown starts with
// `if (IsSkipped()) return;`.
#define SKIP_UNLESS_UNDER_WINE()                                                      \
  if (!runningUnderWine())                                                            \
  GTEST_SKIP() << "changes the machine's clock or registry: runs only under Wine"
