// The Time Protocol exchange of one sample: a fresh non-blocking TCP
// connection to port 37, and its 4-byte answer read once, at its notification.
#include <winsock.h>
#include <windows.h>

#include <cstring>

#include "query/exchange_win.h"
#include "query/query.h"
#include "query/query_run.h"
#include "query/sample_math.h"
#include "resources/resource.h"
#include "servers/server_table.h"
#include "timebase/clock.h"

namespace {

SOCKET socketOf(const ServerQuery& query) { return static_cast<SOCKET>(query.sampleSocket); }

void openTimeProtocolSample(int slot) {
  ServerQuery& query = serverQueries[slot];
  if (!openSampleSocket(slot, SOCK_STREAM, FD_READ | FD_CONNECT)) return;
  const SOCKET s = socketOf(query);
  const BOOL dontLinger = TRUE;
  if (setsockopt(s, SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<const char*>(&dontLinger),
                 sizeof dontLinger) != 0) {
    endQuery(slot, STATUS_WINSOCK_ERROR);
    return;
  }
  query.phase = PHASE_CONNECTING;
  query.dirty = 1;

  if (!connectSampleSocket(slot, query.address, TIME_PROTOCOL_PORT, &query.sampleStartedAt)) return;
  runDeadline = readClock() + DEADLINE_CONNECT_MS;
}

void onConnectDone(int slot, int error) {
  ServerQuery& query = serverQueries[slot];
  if (error != 0) {
    endQuery(slot, error == WSAECONNREFUSED ? STATUS_REFUSED : STATUS_NO_RESPONSE);
  } else {
    query.sampleConnectedAt = readClock();
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
  query.sampleBounds[index] = sampleBounds(seconds, query.sampleConnectedAt, now, userOffset);
  // The server read its clock about half the exchange after the connection
  // was established: the lead that times the next sample's reading.
  query.leadMs = (query.sampleConnectedAt - query.sampleStartedAt) + latency / 2;
  sampleTaken(slot);
}

class TimeProtocolExchange final : public SampleExchange {
 public:
  void openSample(int slot) override { openTimeProtocolSample(slot); }
  void onSocketEvent(int slot, int event, int error) override {
    const int phase = serverQueries[slot].phase;
    if (event == SOCKET_EVENT_READ && phase == PHASE_READING) onAnswerReady(slot, error);
    else if (event == SOCKET_EVENT_CONNECT && phase == PHASE_CONNECTING) onConnectDone(slot, error);
  }
};

TimeProtocolExchange timeProtocol;

}  // namespace

SampleExchange& timeProtocolExchange() { return timeProtocol; }
