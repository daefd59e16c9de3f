// Server table persistence (to be completed).
#include "servers/server_table.h"

const char* const defaultServers[DEFAULT_SERVER_COUNT] = {};

void resetServerList() {}
void loadServerTable() {}
void saveServer(int) {}
void commitServer(int) {}
