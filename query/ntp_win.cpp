// The NTP exchange of one sample: a UDP socket connected to the server's port
// 123, so that only its datagrams arrive, one 48-byte request stamped just
// before it leaves, and the answer stamped when its notification is handled.
// Datagrams that do not answer the request are dropped; the sample then waits
// on, until an answer or the run's deadline.
#include <winsock.h>
#include <windows.h>
#include <ntsecapi.h>

#include <cstring>

#include "query/exchange_win.h"
#include "query/ntp_packet.h"
#include "query/query.h"
#include "query/query_run.h"
#include "resources/resource.h"
#include "servers/server_table.h"
#include "timebase/clock.h"

// Room for answers that carry extensions or a key after the 48 bytes.
static const int NTP_RECEIVE_SIZE = 512;

static_assert(WINSOCK_WOULD_BLOCK == WSAEWOULDBLOCK && WINSOCK_MESSAGE_SIZE == WSAEMSGSIZE &&
                  WINSOCK_CONNECTION_RESET == WSAECONNRESET,
              "Winsock's error numbers");

static SOCKET socketOf(const ServerQuery& query) { return static_cast<SOCKET>(query.sampleSocket); }

// The query ends on a socket failure unless the failure only says "not yet".
static bool endsOnSocketError(int slot, int error) {
  switch (judgeNtpSocketError(error)) {
    case NTP_SOCKET_WAIT: return false;
    case NTP_SOCKET_REFUSED: endQuery(slot, STATUS_REFUSED); return true;
    default: endQuery(slot, STATUS_NO_RESPONSE); return true;
  }
}

// Bits no one else can predict, from the system's random source.
static uint32_t requestNoise() {
  uint32_t noise = 0;
  if (!RtlGenRandom(&noise, sizeof noise)) noise = readTickMs() * 2654435761u;
  return noise;
}

bool openNtpSocket(int slot, uint32_t address, uint16_t port) {
  if (!openSampleSocket(slot, SOCK_DGRAM, FD_READ)) return false;
  sockaddr_in remote = {};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  remote.sin_addr.s_addr = address;
  if (connect(socketOf(serverQueries[slot]), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
    endQuery(slot, STATUS_WINSOCK_ERROR);
    return false;
  }
  return true;
}

void stampNtpRequest(int slot) {
  ServerQuery& query = serverQueries[slot];
  const uint32_t noise = requestNoise();
  noteContact(query.address);
  query.sampleStartedUs = readClockUs();
  query.sampleStartedAt = millisFromMicros(query.sampleStartedUs);
  query.requestStamp = requestStamp(query.sampleStartedAt, noise);
}

bool sendNtpRequest(int slot, const uint8_t* packet, size_t size) {
  const int sent = send(socketOf(serverQueries[slot]), reinterpret_cast<const char*>(packet), static_cast<int>(size), 0);
  if (sent != static_cast<int>(size)) {
    endQuery(slot, WSAGetLastError() == WSAECONNRESET ? STATUS_REFUSED : STATUS_WINSOCK_ERROR);
    return false;
  }
  runDeadline = readClock() + DEADLINE_ANSWER_MS;
  return true;
}

size_t receiveNtpDatagram(int slot, int error, uint8_t* packet, size_t room) {
  // An ICMP "port unreachable" for the request comes back as a reset.
  if (error != 0) {
    endsOnSocketError(slot, error);
    return 0;
  }
  const int received = recv(socketOf(serverQueries[slot]), reinterpret_cast<char*>(packet), static_cast<int>(room), 0);
  if (received == SOCKET_ERROR) {
    endsOnSocketError(slot, WSAGetLastError());
    return 0;
  }
  return received < NTP_PACKET_SIZE ? 0 : static_cast<size_t>(received);
}

static void openNtpSample(int slot) {
  ServerQuery& query = serverQueries[slot];
  if (!openNtpSocket(slot, query.address, NTP_PORT)) return;
  query.phase = PHASE_READING;
  query.dirty = 1;
  uint8_t packet[NTP_PACKET_SIZE];
  stampNtpRequest(slot);
  packNtpRequest(query.requestStamp, packet);
  sendNtpRequest(slot, packet, sizeof packet);
}

static void onNtpAnswerReady(int slot, int error) {
  // T4 before anything else: a later stamp only widens the bounds.
  const int64_t answeredUs = readClockUs();
  uint8_t datagram[NTP_RECEIVE_SIZE];
  if (receiveNtpDatagram(slot, error, datagram, sizeof datagram) == 0) return;
  NtpAnswer answer;
  unpackNtpAnswer(datagram, answer);
  const NtpVerdict verdict = judgeNtpAnswer(answer, serverQueries[slot].requestStamp);
  if (verdict == NTP_DROP) return;
  if (verdict != NTP_USE) {
    kissReceived(slot, verdict);
    return;
  }
  takeNtpSample(slot, answer, answeredUs);
}

void takeNtpSample(int slot, const NtpAnswer& answer, int64_t answeredUs) {
  ServerQuery& query = serverQueries[slot];
  const Millis1900 answered = millisFromMicros(answeredUs);
  // Dropped like the other answers not to use: the sample waits on.
  if (!ntpHoldFits(answer, query.sampleStartedAt, answered)) return;
  const int index = query.sampleIndex;
  query.sampleLatency[index] = ntpSampleLatency(answer, query.sampleStartedAt, answered);
  query.sampleBounds[index] = ntpSampleBounds(answer, query.sampleStartedAt, answered, userOffset);
  query.sampleBoundsUs[index] = ntpSampleBoundsUs(answer, query.sampleStartedUs, answeredUs, userOffset);
  query.sampleCorrection[index] = boundsMidpoint(query.sampleBounds[index]);
  sampleTaken(slot);
}

namespace {

class NtpExchange final : public SampleExchange {
 public:
  void openSample(int slot) override { openNtpSample(slot); }
  void onSocketEvent(int slot, int event, int error) override {
    if (event == SOCKET_EVENT_READ && serverQueries[slot].phase == PHASE_READING) onNtpAnswerReady(slot, error);
  }
};

NtpExchange ntp;

}  // namespace

SampleExchange& ntpExchange() { return ntp; }
