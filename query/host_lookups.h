// Buffers for asynchronous host lookups. A lookup writes its answer into its
// buffer whenever it completes, even after its query has ended (a cancel is
// not always honoured), so each lookup gets a buffer of its own that no other
// lookup receives until this one's answer has arrived.
#pragma once
#include <cstdint>
#include "servers/server_query.h"
#include "servers/server_record.h"

// Every slot's lookup plus as many abandoned ones still on their way.
const int HOST_LOOKUP_CAPACITY = 2 * SERVER_SLOTS;

struct HostLookup {
  bool busy;        // a lookup may still write into entry
  uintptr_t task;   // its task handle, once started
  int32_t slot;     // the slot waiting for it; -1 when abandoned
  alignas(8) char entry[HOST_ENTRY_SIZE];
};

// A free buffer for slot's next lookup, marked busy; -1 when none is free.
int claimHostLookup(HostLookup table[HOST_LOOKUP_CAPACITY], int slot);
// The busy lookup with this task, or -1.
int findHostLookup(const HostLookup table[HOST_LOOKUP_CAPACITY], uintptr_t task);
// Its query ended: the answer, when it comes, is for nobody.
void abandonHostLookup(HostLookup table[HOST_LOOKUP_CAPACITY], uintptr_t task);
// The lookup is over (its answer arrived, or it never started): the buffer is free.
void releaseHostLookup(HostLookup& lookup);
