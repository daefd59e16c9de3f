// What a server name asks for: "HOST:123" is an NTP server on UDP port 123,
// "HOST" and "HOST:37" are Time Protocol servers on TCP port 37. The name is
// kept as typed; only its host part goes to the lookup.
#pragma once
#include "servers/server_record.h"

enum ServerProtocol {
  PROTOCOL_TIME = 0,
  PROTOCOL_NTP = 1,
};

struct ServerAddress {
  int protocol;                  // a ServerProtocol
  char host[SERVER_NAME_SIZE];   // the name without its port suffix
};

// False for a name this program cannot ask: an empty host, or a suffix after
// the last ':' that is not 37 or 123. address is filled either way (a refused
// name reads as a Time Protocol server of the whole name).
bool parseServerName(const char* name, ServerAddress& address);
