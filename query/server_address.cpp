// Server names and the protocol their port suffix selects.
#include "query/server_address.h"

#include <cstring>

static int suffixProtocol(const char* suffix) {
  if (std::strcmp(suffix, "123") == 0) return PROTOCOL_NTP;
  if (std::strcmp(suffix, "37") == 0) return PROTOCOL_TIME;
  if (std::strcmp(suffix, "4460") == 0) return PROTOCOL_NTS;
  return -1;
}

bool parseServerName(const char* name, ServerAddress& address) {
  address.protocol = PROTOCOL_TIME;
  address.host[0] = '\0';
  if (name == nullptr) return false;
  size_t length = 0;
  while (length < SERVER_NAME_SIZE - 1 && name[length] != '\0') ++length;
  std::memcpy(address.host, name, length);
  address.host[length] = '\0';

  char* colon = std::strrchr(address.host, ':');
  if (colon == nullptr) return length > 0;
  const int protocol = suffixProtocol(colon + 1);
  if (protocol < 0) return false;
  *colon = '\0';
  address.protocol = protocol;
  return address.host[0] != '\0';
}

void ntsNtpTarget(const char* keHost, const char* server, uint16_t port, char host[SERVER_NAME_SIZE],
                  uint16_t& ntpPort) {
  const char* chosen = server != nullptr && server[0] != '\0' ? server : keHost;
  size_t length = 0;
  while (length < SERVER_NAME_SIZE - 1 && chosen[length] != '\0') ++length;
  std::memcpy(host, chosen, length);
  host[length] = '\0';
  ntpPort = port != 0 ? port : 123;
}
