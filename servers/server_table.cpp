// Server table storage (to be completed).
#include "servers/server_table.h"

ServerRecord serverRecords[SERVER_SLOTS];
ServerQuery serverQueries[SERVER_SLOTS];

int addServer(const char*) { return -1; }
int usedServerCount() { return 0; }
