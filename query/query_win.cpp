// The steps every query shares, whichever protocol its name selects: an
// asynchronous host lookup of the name's host part, then three samples spread
// over about eight seconds so that their answers cut the offset ever finer and
// no address is asked twice within four seconds, the end of the query, and
// the routing of socket notifications to the exchange in flight. Every step is
// a handler of a posted notification or of the sample timer; nothing here
// ever waits.
#include <winsock.h>
#include <windows.h>

#include <cstring>

#include "query/exchange_win.h"
#include "query/host_lookups.h"
#include "query/ntp_packet.h"
#include "query/query.h"
#include "query/query_run.h"
#include "query/sample_math.h"
#include "query/sample_plan.h"
#include "query/server_address.h"
#include "resources/resource.h"
#include "servers/server_table.h"
#include "timebase/clock.h"

int64_t userOffset;
static HWND queryWindow;

void setQueryWindow(void* window) { queryWindow = static_cast<HWND>(window); }

static SampleExchange* exchanges[PROTOCOL_NTS + 1];

void useExchange(int protocol, SampleExchange* exchange) {
  if (protocol >= 0 && protocol <= PROTOCOL_NTS) exchanges[protocol] = exchange;
}

static SampleExchange* exchangeOf(const ServerQuery& query) {
  return query.protocol <= PROTOCOL_NTS ? exchanges[query.protocol] : nullptr;
}

static HostLookup hostLookups[HOST_LOOKUP_CAPACITY];
static ContactLog contacts;
static KissLog kisses;
// The host part of each slot's name, for its lookup.
static char lookupHosts[SERVER_SLOTS][SERVER_NAME_SIZE];

static SOCKET socketOf(const ServerQuery& query) { return static_cast<SOCKET>(query.sampleSocket); }

// Notifications already posted for the socket stay queued after this; the
// phase checks in onSocketEvent keep them away from a successor socket that
// Winsock may hand out with the same value.
bool openSampleSocket(int slot, int type, long events) {
  ServerQuery& query = serverQueries[slot];
  const SOCKET s = socket(AF_INET, type, 0);
  if (s == INVALID_SOCKET) {
    endQuery(slot, STATUS_WINSOCK_ERROR);
    return false;
  }
  query.sampleSocket = static_cast<uintptr_t>(s);
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      WSAAsyncSelect(s, queryWindow, WM_SOCKET_EVENT, events) != 0) {
    endQuery(slot, STATUS_WINSOCK_ERROR);
    return false;
  }
  return true;
}

void closeSampleSocket(ServerQuery& query) {
  const SOCKET s = socketOf(query);
  WSAAsyncSelect(s, queryWindow, 0, 0);
  closesocket(s);
  query.sampleSocket = 0;
}

// ---- the sample timer ---------------------------------------------------------

// One timer for every waiting slot, due at the earliest of them.
static void armSampleTimer() {
  if (queryWindow == nullptr) return;
  bool any = false;
  Millis1900 earliest = 0;
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    const ServerQuery& query = serverQueries[slot];
    if (query.phase != PHASE_WAITING) continue;
    if (!any || query.nextSampleAt < earliest) earliest = query.nextSampleAt;
    any = true;
  }
  if (!any) {
    KillTimer(queryWindow, TIMER_SAMPLE);
    return;
  }
  const int64_t wait = earliest - readClock();
  const UINT delay = wait < USER_TIMER_MINIMUM ? USER_TIMER_MINIMUM
                     : wait > 60000            ? 60000
                                               : static_cast<UINT>(wait);
  SetTimer(queryWindow, TIMER_SAMPLE, delay, nullptr);
}

static void waitForSample(int slot, Millis1900 at, bool aimPending) {
  ServerQuery& query = serverQueries[slot];
  query.phase = PHASE_WAITING;
  query.nextSampleAt = at;
  query.aimPending = aimPending ? 1 : 0;
  query.dirty = 1;
}

static void aimNextSample(int slot);

void startDueSamples() {
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    ServerQuery& query = serverQueries[slot];
    if (query.phase != PHASE_WAITING || query.nextSampleAt > readClock()) continue;
    if (query.aimPending) {
      aimNextSample(slot);
      if (query.nextSampleAt > readClock()) continue;
    }
    // Another slot with the same address may have been asked meanwhile: wait
    // for the spacing in whole seconds, which keeps the planned phase.
    const uint64_t now = readCounterMs();
    const uint64_t allowed = nextContactAllowed(contacts, query.address, now);
    if (allowed > now) {
      query.nextSampleAt += static_cast<int64_t>((allowed - now + 999) / 1000 * 1000);
      continue;
    }
    openSampleConnection(slot);
  }
  armSampleTimer();
}

// The first sample of the run's order-th query: staggered over the first half
// second, and never before the server's last contact is 4 s old; a sample that
// must wait for that waits whole seconds, keeping its place in the stagger.
static Millis1900 firstSampleTime(const ServerQuery& query) {
  const Millis1900 planned = runStartedAt + firstSampleDelay(query.runOrder, runQueryCount);
  const uint64_t now = readCounterMs();
  const uint64_t allowed = nextContactAllowed(contacts, query.address, now);
  if (allowed <= now) return planned;
  const Millis1900 polite = readClock() + static_cast<int64_t>(allowed - now);
  if (planned >= polite) return planned;
  return planned + (polite - planned + 999) / 1000 * 1000;
}

// What the answers of this run so far say, server by server, and where the
// slot's next answer should cut.
static int64_t nextSampleAim(int slot) {
  OffsetBounds cores[SERVER_SLOTS];
  int count = 0, self = 0;
  for (int s = 0; s < SERVER_SLOTS; ++s) {
    const ServerQuery& query = serverQueries[s];
    if (query.runNumber != runNumber || query.sampleIndex < 1) continue;
    const int taken = query.sampleIndex < SAMPLES_PER_QUERY ? query.sampleIndex : SAMPLES_PER_QUERY;
    if (s == slot) self = count;
    // An NTP server's bounds are tight: what they prove is its core.
    cores[count++] = isNtpProtocol(query.protocol) ? provenCore(query.sampleBounds, taken)
                                                    : sampleCore(query.sampleCorrection, taken);
  }
  return sampleAim(cores, count, self, serverQueries[slot].sampleIndex);
}

// The next sample may not connect before the spacing has passed; where a
// Time Protocol sample should cut is decided only then, when the other
// servers' answers of this round are in as well. An NTP sample needs no aim.
static void planNextSample(int slot) {
  const ServerQuery& query = serverQueries[slot];
  waitForSample(slot, query.sampleStartedAt + SAMPLE_SPACING_MS + SPACING_MARGIN_MS,
                !isNtpProtocol(query.protocol));
}

static void aimNextSample(int slot) {
  ServerQuery& query = serverQueries[slot];
  // The aim is an offset with the user's offset in it; the phase of the
  // reading depends on the server's own offset alone.
  const int64_t aim = static_cast<int64_t>(static_cast<uint64_t>(nextSampleAim(slot)) -
                                           static_cast<uint64_t>(userOffset));
  const Millis1900 now = readClock();
  const Millis1900 earliest = query.nextSampleAt > now ? query.nextSampleAt : now;
  query.nextSampleAt = sampleStartFor(earliest, aim, query.leadMs);
  query.aimPending = 0;
}

// ---- the query ------------------------------------------------------------------

static bool startHostLookup(int slot) {
  ServerQuery& query = serverQueries[slot];
  const int i = claimHostLookup(hostLookups, slot);
  if (i < 0) return false;
  HostLookup& lookup = hostLookups[i];
  const HANDLE task = WSAAsyncGetHostByName(queryWindow, WM_DNS_DONE, lookupHosts[slot], lookup.entry,
                                            HOST_ENTRY_SIZE);
  if (task == nullptr) {
    releaseHostLookup(lookup);
    return false;
  }
  lookup.task = reinterpret_cast<uintptr_t>(task);
  query.lookupTask = lookup.task;
  return true;
}

void startQuery(int slot) {
  ServerQuery& query = serverQueries[slot];
  ServerRecord& record = serverRecords[slot];
  runDeadline = readClock() + DEADLINE_CONNECT_MS;
  countStartedQuery();
  query.sampleIndex = 0;
  query.runNumber = runNumber;
  query.runOrder = takeRunOrder();
  query.authenticated = 0;
  record.status = STATUS_NONE;

  ServerAddress name;
  const bool known = parseServerName(record.name, name);
  query.protocol = static_cast<uint8_t>(name.protocol);
  std::memcpy(lookupHosts[slot], name.host, SERVER_NAME_SIZE);
  if (!known) {
    // A stored name with a port this program does not speak: nothing to ask.
    query.phase = PHASE_DNS;
    endQuery(slot, STATUS_NO_DNS);
    return;
  }
  const unsigned long address = inet_addr(name.host);
  if (address != INADDR_NONE) {
    query.address = static_cast<uint32_t>(address);
    waitForSample(slot, firstSampleTime(query), false);
    return;
  }
  query.phase = PHASE_DNS;
  query.dirty = 1;
  if (!startHostLookup(slot)) endQuery(slot, STATUS_WINSOCK_ERROR);
}

void openSampleConnection(int slot) {
  ServerQuery& query = serverQueries[slot];
  if (isNtpProtocol(query.protocol)) {
    // A server that sent a Kiss-o'-Death is not asked while it rests; an
    // authenticated one's kiss counts only once its answer proved authentic.
    const uint64_t now = readCounterMs();
    const uint64_t rest = kissRestUntil(kisses, query.address, now);
    if (rest == KISS_FOREVER) {
      endQuery(slot, STATUS_REFUSED);
      return;
    }
    if (rest > now) {
      endQuery(slot, STATUS_NO_RESPONSE);
      return;
    }
  }
  SampleExchange* exchange = exchangeOf(query);
  if (exchange != nullptr) exchange->openSample(slot);
  else endQuery(slot, STATUS_WINSOCK_ERROR);
}

void sampleDueNow(int slot) {
  waitForSample(slot, readClock(), false);
  startDueSamples();
}

void lookUpSampleHost(int slot, const char* host) {
  ServerQuery& query = serverQueries[slot];
  std::memcpy(lookupHosts[slot], host, SERVER_NAME_SIZE);
  lookupHosts[slot][SERVER_NAME_SIZE - 1] = '\0';
  query.phase = PHASE_DNS;
  query.dirty = 1;
  if (!startHostLookup(slot)) endQuery(slot, STATUS_WINSOCK_ERROR);
}

void noteContact(uint32_t address) { recordContact(contacts, address, readCounterMs()); }

bool connectSampleSocket(int slot, uint32_t address, uint16_t port, Millis1900* startedAt) {
  sockaddr_in remote = {};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  remote.sin_addr.s_addr = address;
  noteContact(address);
  if (startedAt != nullptr) *startedAt = readClock();
  const SOCKET s = static_cast<SOCKET>(serverQueries[slot].sampleSocket);
  if (connect(s, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    endQuery(slot, STATUS_WINSOCK_ERROR);
    return false;
  }
  return true;
}

void kissReceived(int slot, NtpVerdict verdict) {
  recordKiss(kisses, serverQueries[slot].address, verdict, readCounterMs());
  endQuery(slot, verdict == NTP_KISS_DENY ? STATUS_REFUSED : STATUS_NO_RESPONSE);
}

void onHostLookupDone(uintptr_t task, int error) {
  const int i = findHostLookup(hostLookups, task);
  if (i < 0) return;
  HostLookup& lookup = hostLookups[i];
  const int slot = lookup.slot;
  uint32_t address = 0;
  bool found = false;
  if (error == 0) {
    const hostent* entry = reinterpret_cast<const hostent*>(lookup.entry);
    found = entry->h_addr_list != nullptr && entry->h_addr_list[0] != nullptr;
    if (found) std::memcpy(&address, entry->h_addr_list[0], sizeof address);
  }
  // The answer has arrived: nothing writes into the buffer any more.
  releaseHostLookup(lookup);
  // Only a slot still waiting for this very lookup takes its answer.
  if (slot < 0 || slot >= SERVER_SLOTS) return;
  ServerQuery& query = serverQueries[slot];
  if (query.phase != PHASE_DNS || query.lookupTask != task) return;

  query.lookupTask = 0;
  if (error == 0) {
    if (!found) {
      endQuery(slot, STATUS_NO_DNS);
      return;
    }
    query.address = address;
    waitForSample(slot, firstSampleTime(query), false);
    startDueSamples();
  } else if (error == WSAHOST_NOT_FOUND) {
    endQuery(slot, STATUS_NO_DNS);
  }
  // Any other error leaves the query waiting in its lookup phase until the
  // run's deadline or a stop ends it.
}

void sampleTaken(int slot) {
  ServerQuery& query = serverQueries[slot];
  query.sampleAt[query.sampleIndex] = readClock();
  ++query.sampleIndex;
  query.dirty = 1;
  if (query.sampleIndex >= SAMPLES_PER_QUERY) {
    finishQuery(slot);
    return;
  }
  closeSampleSocket(query);
  planNextSample(slot);
  armSampleTimer();
}

void finishQuery(int slot) {
  ServerQuery& query = serverQueries[slot];
  ServerRecord& record = serverRecords[slot];
  const ServerEstimate estimate = reduceSamples(query.sampleLatency, query.sampleCorrection, query.sampleBounds);
  record.latency = estimate.latency;
  record.correction = estimate.correction;
  query.bounds = estimate.bounds;
  // Finer where the exchange had microseconds (NTP): each sample's bound as
  // it holds at the last answer, the clock having drifted meanwhile. Where
  // those do not meet, and for whole-second answers, the whole-millisecond
  // reduction stands.
  query.boundsAt = query.sampleAt[SAMPLES_PER_QUERY - 1];
  query.boundsUs = boundsInMicros(estimate.bounds);
  if (isNtpProtocol(query.protocol)) {
    OffsetBounds carried[SAMPLES_PER_QUERY];
    for (int i = 0; i < SAMPLES_PER_QUERY; ++i)
      carried[i] = boundsCarriedTo(query.sampleBoundsUs[i], query.sampleAt[i], query.boundsAt);
    const OffsetBounds shared = intersectBounds(carried, SAMPLES_PER_QUERY);
    if (boundsHold(shared)) query.boundsUs = shared;
  }
  // An authenticated-time query gets this far only with every answer authentic.
  query.authenticated = query.protocol == PROTOCOL_NTS ? 1 : 0;
  endQuery(slot, runIsTest ? STATUS_TEST : STATUS_GOOD);
}

void endQuery(int slot, int status) {
  ServerQuery& query = serverQueries[slot];
  if (query.phase == PHASE_IDLE) return;
  if (query.lookupTask != 0) {
    // Not cancelled: a cancel is not honoured everywhere, and an answer that
    // comes regardless must find its buffer still its own. It is dropped then.
    abandonHostLookup(hostLookups, query.lookupTask);
    query.lookupTask = 0;
  }
  if (SampleExchange* exchange = exchangeOf(query)) exchange->queryEnded(slot);
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
    if (SampleExchange* exchange = exchangeOf(query)) exchange->onSocketEvent(slot, event, error);
    return;
  }
}

void endAllQueries(int status) {
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) endQuery(slot, status);
}

void checkRunDeadline() {
  if (readClock() > runDeadline) endAllQueries(STATUS_SLOW_RESPONSE);
}

void releaseRun() {
  // The first samples that are due at once connect before the run may end.
  startDueSamples();
  endRunStart();
}
