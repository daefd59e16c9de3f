/* Prints how many kernel handles (events, files, sockets, keys, ...) each given
 * Win32 process holds, one "PID COUNT" line each.
 *
 *   handle_count.exe PID...
 *
 * GetProcessHandleCount answers 0 under Wine, so the system-wide handle table
 * (NtQuerySystemInformation, SystemHandleInformation) is counted instead.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

typedef LONG(NTAPI* QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);

#define SYSTEM_HANDLE_INFORMATION 16
#define STATUS_INFO_LENGTH_MISMATCH ((LONG)0xC0000004)

typedef struct {
  ULONG ownerPid;
  BYTE objectType;
  BYTE flags;
  USHORT value;
  PVOID object;
  ULONG access;
} HandleEntry;

typedef struct {
  ULONG count;
  HandleEntry handles[1];
} HandleTable;

int main(int argc, char** argv) {
  QuerySystemInformation query = (QuerySystemInformation)(void*)GetProcAddress(
      GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
  if (query == NULL) return 1;
  ULONG size = 1 << 20;
  HandleTable* table = NULL;
  LONG status;
  for (;;) {
    table = (HandleTable*)malloc(size);
    if (table == NULL) return 1;
    ULONG needed = 0;
    status = query(SYSTEM_HANDLE_INFORMATION, table, size, &needed);
    if (status != STATUS_INFO_LENGTH_MISMATCH) break;
    free(table);
    size *= 2;
  }
  if (status != 0) {
    fprintf(stderr, "handle table not available (0x%lx)\n", (unsigned long)status);
    return 1;
  }
  for (int i = 1; i < argc; ++i) {
    ULONG pid = strtoul(argv[i], NULL, 0);
    unsigned long held = 0;
    for (ULONG h = 0; h < table->count; ++h)
      if (table->handles[h].ownerPid == pid) ++held;
    printf("%lu %lu\n", (unsigned long)pid, held);
  }
  free(table);
  return 0;
}
