// The fixed table of 50 server slots: records, per-slot query state, and the
// operations that fill, reset, load and save it.
#pragma once
#include "servers/server_query.h"
#include "servers/server_record.h"

const int DEFAULT_SERVER_COUNT = 15;
extern const char* const defaultServers[DEFAULT_SERVER_COUNT];

// Until the table is first loaded: start it from the default list instead of
// the stored values (the settings were new, or of another version).
extern bool loadDefaultServers;

extern ServerRecord serverRecords[SERVER_SLOTS];
extern ServerQuery serverQueries[SERVER_SLOTS];

// Lowest free slot gets the name (cut to 127), enabled, STATUS_NONE and a dirty
// row; -1 for an empty name or a full table. Neither saves nor touches the list.
int addServer(const char* name);
int usedServerCount();

// Defined with the registry (server_table_win.cpp); the list view shows the
// table afterwards. The default list, every slot stored.
void resetServerTable();
// The stored values, or the default list while loadDefaultServers is set.
void readServerTable();
void saveServer(int slot);
