// Bookkeeping of the host-lookup buffers.
#include "query/host_lookups.h"

int claimHostLookup(HostLookup table[HOST_LOOKUP_CAPACITY], int slot) {
  for (int i = 0; i < HOST_LOOKUP_CAPACITY; ++i) {
    if (table[i].busy) continue;
    table[i].busy = true;
    table[i].task = 0;
    table[i].slot = slot;
    return i;
  }
  return -1;
}

int findHostLookup(const HostLookup table[HOST_LOOKUP_CAPACITY], uintptr_t task) {
  if (task == 0) return -1;
  for (int i = 0; i < HOST_LOOKUP_CAPACITY; ++i) {
    if (table[i].busy && table[i].task == task) return i;
  }
  return -1;
}

void abandonHostLookup(HostLookup table[HOST_LOOKUP_CAPACITY], uintptr_t task) {
  const int i = findHostLookup(table, task);
  if (i >= 0) table[i].slot = -1;
}

void releaseHostLookup(HostLookup& lookup) {
  lookup.busy = false;
  lookup.task = 0;
  lookup.slot = -1;
}
