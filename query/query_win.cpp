// Time Protocol queries over Winsock 1.1: an asynchronous host lookup, then
// three samples, each on a fresh non-blocking TCP connection to port 37. Every
// step is a handler of a posted notification; nothing here ever waits.
#include <winsock.h>
#include <windows.h>

#include <cstring>

#include "query/query.h"
#include "query/query_run.h"
#include "query/sample_math.h"
#include "resources/resource.h"
#include "servers/server_table.h"
#include "shell/main_window_win.h"
#include "timebase/clock.h"

static SOCKET socketOf(const ServerQuery& query) { return static_cast<SOCKET>(query.sampleSocket); }

// Notifications already posted for the socket stay queued after this; the
// phase checks in onSocketEvent keep them away from a successor socket that
// Winsock may hand out with the same value.
static void closeSampleSocket(ServerQuery& query) {
  const SOCKET s = socketOf(query);
  WSAAsyncSelect(s, mainWindow, 0, 0);
  closesocket(s);
  query.sampleSocket = 0;
}

void startQuery(int slot) {
  ServerQuery& query = serverQueries[slot];
  ServerRecord& record = serverRecords[slot];
  runDeadline = readClock() + DEADLINE_CONNECT_MS;
  countStartedQuery();
  query.sampleIndex = 0;
  record.status = STATUS_NONE;

  const unsigned long address = inet_addr(record.name);
  if (address != INADDR_NONE) {
    query.address = static_cast<uint32_t>(address);
    query.phase = PHASE_CONNECTING;
    query.dirty = 1;
    openSampleConnection(slot);
    return;
  }
  query.phase = PHASE_DNS;
  query.dirty = 1;
  const HANDLE task = WSAAsyncGetHostByName(mainWindow, WM_DNS_DONE, record.name,
                                            query.hostEntry, HOST_ENTRY_SIZE);
  query.lookupTask = reinterpret_cast<uintptr_t>(task);
  if (task == nullptr) endQuery(slot, STATUS_WINSOCK_ERROR);
}

void openSampleConnection(int slot) {
  ServerQuery& query = serverQueries[slot];
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    endQuery(slot, STATUS_WINSOCK_ERROR);
    return;
  }
  query.sampleSocket = static_cast<uintptr_t>(s);

  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  const BOOL dontLinger = TRUE;
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<const char*>(&dontLinger),
                 sizeof dontLinger) != 0 ||
      WSAAsyncSelect(s, mainWindow, WM_SOCKET_EVENT, FD_READ | FD_CONNECT) != 0) {
    endQuery(slot, STATUS_WINSOCK_ERROR);
    return;
  }
  query.phase = PHASE_CONNECTING;
  query.dirty = 1;

  sockaddr_in remote = {};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(TIME_PROTOCOL_PORT);
  remote.sin_addr.s_addr = query.address;
  if (connect(s, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    endQuery(slot, STATUS_WINSOCK_ERROR);
    return;
  }
  runDeadline = readClock() + DEADLINE_CONNECT_MS;
}

void onHostLookupDone(uintptr_t task, int error) {
  // Only a slot still waiting for its lookup holds a task: a stray result with
  // task 0 must not match a slot that has none.
  if (task == 0) return;
  int slot = 0;
  while (slot < SERVER_SLOTS && !(serverQueries[slot].phase == PHASE_DNS &&
                                  serverQueries[slot].lookupTask == task))
    ++slot;
  if (slot == SERVER_SLOTS) return;

  ServerQuery& query = serverQueries[slot];
  query.lookupTask = 0;
  if (error == 0) {
    const hostent* entry = reinterpret_cast<const hostent*>(query.hostEntry);
    if (entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
      endQuery(slot, STATUS_NO_DNS);
      return;
    }
    std::memcpy(&query.address, entry->h_addr_list[0], sizeof query.address);
    openSampleConnection(slot);
  } else if (error == WSAHOST_NOT_FOUND) {
    endQuery(slot, STATUS_NO_DNS);
  }
  // Any other error leaves the query waiting in its lookup phase until the
  // run's deadline or a stop ends it.
}

void onConnectDone(int slot, int error) {
  ServerQuery& query = serverQueries[slot];
  if (error != 0) {
    endQuery(slot, error == WSAECONNREFUSED ? STATUS_REFUSED : STATUS_NO_RESPONSE);
  } else {
    query.sampleLatency[query.sampleIndex] = readTickMs();
    query.phase = PHASE_READING;
    query.dirty = 1;
  }
  runDeadline = readClock() + DEADLINE_ANSWER_MS;
}

void onAnswerReady(int slot, int error) {
  ServerQuery& query = serverQueries[slot];
  if (error != 0) {
    endQuery(slot, STATUS_NO_RESPONSE);
    return;
  }
  // One receive of exactly 4 bytes: a shorter first read is a failed answer,
  // never the start of one to be gathered.
  char answer[TIME_ANSWER_SIZE];
  if (recv(socketOf(query), answer, TIME_ANSWER_SIZE, 0) != TIME_ANSWER_SIZE) {
    endQuery(slot, STATUS_NO_RESPONSE);
    return;
  }
  uint8_t bytes[TIME_ANSWER_SIZE];
  std::memcpy(bytes, answer, sizeof bytes);
  const uint32_t seconds = decodeTimeAnswer(bytes);
  const Millis1900 now = readClock();
  const int index = query.sampleIndex;
  const uint32_t latency = readTickMs() - query.sampleLatency[index];
  query.sampleLatency[index] = latency;
  query.sampleCorrection[index] = sampleCorrection(seconds, now, latency, userOffset);
  ++query.sampleIndex;
  query.dirty = 1;

  if (query.sampleIndex >= SAMPLES_PER_QUERY) {
    finishQuery(slot);
    return;
  }
  closeSampleSocket(query);
  openSampleConnection(slot);
}

void finishQuery(int slot) {
  ServerQuery& query = serverQueries[slot];
  ServerRecord& record = serverRecords[slot];
  reduceSamples(query.sampleLatency, query.sampleCorrection, &record.latency, &record.correction);
  endQuery(slot, runIsTest ? STATUS_TEST : STATUS_GOOD);
}

void endQuery(int slot, int status) {
  ServerQuery& query = serverQueries[slot];
  if (query.phase == PHASE_IDLE) return;
  if (query.lookupTask != 0) {
    WSACancelAsyncRequest(reinterpret_cast<HANDLE>(query.lookupTask));
    query.lookupTask = 0;
  }
  if (query.sampleSocket != 0) closeSampleSocket(query);
  query.phase = PHASE_IDLE;
  serverRecords[slot].status = status;
  // Saved before the count falls: a completing run sees every final status.
  saveServer(slot);
  query.dirty = 1;
  countEndedQuery();
}

void onSocketEvent(uintptr_t socket, int event, int error) {
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    const ServerQuery& query = serverQueries[slot];
    if (query.phase == PHASE_IDLE || query.sampleSocket != socket) continue;
    // A socket value can be reused by the next sample while a notification
    // for its closed predecessor is still queued (a second FD_READ when the
    // server sent more than 4 bytes, say): act only on the event the phase
    // waits for.
    if (event == SOCKET_EVENT_CONNECT && query.phase == PHASE_CONNECTING) onConnectDone(slot, error);
    else if (event == SOCKET_EVENT_READ && query.phase == PHASE_READING) onAnswerReady(slot, error);
    return;
  }
}
