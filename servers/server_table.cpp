// The 50 server slots in static storage and the one way a name enters a slot.
#include "servers/server_table.h"

ServerRecord serverRecords[SERVER_SLOTS];
ServerQuery serverQueries[SERVER_SLOTS];

int addServer(const char* name) {
  if (name == nullptr || name[0] == '\0') return -1;
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    ServerRecord& record = serverRecords[slot];
    if (record.name[0] != '\0') continue;
    setServerName(record, name);
    // A reused slot keeps its old latency and correction; STATUS_NONE hides them.
    record.enabled = 1;
    record.status = STATUS_NONE;
    serverQueries[slot].dirty = 1;
    return slot;
  }
  return -1;
}

int usedServerCount() {
  int used = 0;
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    if (serverRecords[slot].name[0] != '\0') ++used;
  }
  return used;
}
