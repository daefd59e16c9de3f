// The server table's default list and its persistence in the settings key,
// one "Server%03d" value of 152 bytes per used slot.
#include <windows.h>

#include <cstring>

#include "servers/server_table.h"
#include "settings/settings.h"

// Public hosts that answer the Time Protocol on TCP port 37.
const char* const defaultServers[DEFAULT_SERVER_COUNT] = {
    "time.nist.gov",        "time-a-g.nist.gov",   "time-b-g.nist.gov",   "time-c-g.nist.gov",
    "time-d-g.nist.gov",    "time-e-g.nist.gov",   "time-a-wwv.nist.gov", "time-b-wwv.nist.gov",
    "time-c-wwv.nist.gov",  "time-d-wwv.nist.gov", "time-e-wwv.nist.gov", "time-a-b.nist.gov",
    "time-b-b.nist.gov",    "time-c-b.nist.gov",   "utcnist.colorado.edu",
};

bool loadDefaultServers = true;

static void serverValueName(int slot, char name[16]) { wsprintfA(name, "Server%03d", slot); }

void resetServerTable() {
  std::memset(serverRecords, 0, sizeof serverRecords);
  for (int i = 0; i < DEFAULT_SERVER_COUNT; ++i) addServer(defaultServers[i]);
  // Every slot is stored: the values of slots 15 to 49 must go.
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) saveServer(slot);
}

void readServerTable() {
  if (loadDefaultServers) {
    resetServerTable();
    loadDefaultServers = false;
    return;
  }
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    ServerRecord& record = serverRecords[slot];
    char valueName[16];
    serverValueName(slot, valueName);
    // A shorter stored value replaces only the first bytes of what the slot holds.
    uint8_t image[SERVER_IMAGE_SIZE];
    packServerRecord(record, image);
    if (readSetting(valueName, image, sizeof image)) {
      unpackServerRecord(image, record);
    } else {
      record.name[0] = '\0';
      record.status = STATUS_NONE;
      serverQueries[slot].dirty = 1;
    }
  }
}

void saveServer(int slot) {
  if (slot < 0 || slot >= SERVER_SLOTS) return;
  char valueName[16];
  serverValueName(slot, valueName);
  if (serverRecords[slot].name[0] == '\0') {
    writeSetting(valueName, nullptr, 0);
    return;
  }
  uint8_t image[SERVER_IMAGE_SIZE];
  packServerRecord(serverRecords[slot], image);
  writeSetting(valueName, image, sizeof image);
}
