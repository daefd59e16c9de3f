// What a server name asks for: "HOST:123" is an NTP server on UDP port 123,
// "HOST" and "HOST:37" are Time Protocol servers on TCP port 37, "HOST:4460"
// is an authenticated-time (NTS) server: its key exchange on TCP port 4460,
// then NTP with NTS where the key exchange says (HOST:123 unless it names
// another server or port). The name is
// kept as typed; only its host part goes to the lookup.
#pragma once
#include <cstdint>
#include "servers/server_record.h"

enum ServerProtocol {
  PROTOCOL_TIME = 0,
  PROTOCOL_NTP = 1,
  PROTOCOL_NTS = 2,
};

// Whether the samples are NTP packets (plain or authenticated), with their
// microsecond bounds and no aim.
inline bool isNtpProtocol(int protocol) { return protocol == PROTOCOL_NTP || protocol == PROTOCOL_NTS; }

struct ServerAddress {
  int protocol;                  // a ServerProtocol
  char host[SERVER_NAME_SIZE];   // the name without its port suffix
};

// False for a name this program cannot ask: an empty host, or a suffix after
// the last ':' that is not 37, 123 or 4460. address is filled either way (a refused
// name reads as a Time Protocol server of the whole name).
bool parseServerName(const char* name, ServerAddress& address);

// Where NTP with NTS goes once the key exchange with keHost is done: the
// server and port its response named (records 6 and 7), else keHost and the
// NTP port. host: SERVER_NAME_SIZE bytes, always terminated.
void ntsNtpTarget(const char* keHost, const char* server, uint16_t port, char host[SERVER_NAME_SIZE],
                  uint16_t& ntpPort);
