// Authenticated time for a server named HOST:4460: the key exchange over a
// non-blocking TCP connection to its port 4460 with the system's TLS fed the
// socket's bytes, then each sample an NTP request with NTS over UDP to where
// the key exchange said, its answer counted only once it proves to come from
// that server. Keys and cookies stay in memory, one session per slot. Every
// failure ends the query with a status of its own: such a server is never
// asked unauthenticated instead.
#include <winsock.h>
#include <windows.h>

#include <cstring>
#include <new>

#include "nts/aes_block_win.h"
#include "nts/aes_siv.h"
#include "nts/cookie_jar.h"
#include "nts/nts_ke.h"
#include "query/nts_ntp.h"
#include "nts/tls_win.h"
#include "query/exchange_win.h"
#include "query/ntp_packet.h"
#include "query/query.h"
#include "query/query_run.h"
#include "query/server_address.h"
#include "resources/resource.h"
#include "servers/server_table.h"
#include "timebase/clock.h"
#include "timebase/fatal_exit.h"

namespace {

// A slot's keys, cookies and the key exchange in flight. Heap-allocated: the
// TLS state alone is about a hundred kilobytes.
struct NtsSession {
  TlsClient* tls = nullptr;
  NtsKeReader* reader = nullptr;
  bool requestSent = false;
  bool keyed = false;             // the two keys are set and the jar was filled
  bool exchangedThisRun = false;  // at most one key exchange per run
  uint32_t run = 0;               // the run the flags above belong to
  uint32_t keAddress = 0;         // where the key exchange goes
  uint32_t ntpAddress = 0;        // where NTP goes; 0 while its name is looked up
  uint16_t ntpPort = NTP_PORT;
  SystemAesBlock c2sMac, c2sCtr, s2cMac, s2cCtr;
  AesSiv c2s{c2sMac, c2sCtr};
  AesSiv s2c{s2cMac, s2cCtr};
  CookieJar jar;
  uint8_t uniqueId[NTS_UNIQUE_ID_SIZE] = {};
};

NtsSession* sessions[SERVER_SLOTS];
BootCorrectedCheck bootCorrectedCheck;

// Room for what one readiness notification brings at once.
const int KE_RECEIVE_SIZE = 4096;

SOCKET socketOf(const ServerQuery& query) { return static_cast<SOCKET>(query.sampleSocket); }

// The process heap and placement new, not the runtime's operator new: that
// one throws, and would bring the runtime's whole unwinder into the exe.
template <class T>
T* makeOnHeap() {
  void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(T));
  if (memory == nullptr) fatalExit("Out of memory.");
  return new (memory) T();
}

template <class T>
void freeOnHeap(T*& object) {
  if (object == nullptr) return;
  object->~T();
  HeapFree(GetProcessHeap(), 0, object);
  object = nullptr;
}

NtsSession& sessionOf(int slot) {
  if (sessions[slot] == nullptr) sessions[slot] = makeOnHeap<NtsSession>();
  return *sessions[slot];
}

void dropExchange(NtsSession& session) {
  freeOnHeap(session.tls);
  freeOnHeap(session.reader);
  session.requestSent = false;
}

// SChannel's exporter gives one key per session, for the context it was set
// to before the handshake; authenticated NTP needs a second one whose context
// differs in its last byte. Until the system can give both, the key exchange
// ends here, and the server is not used.
bool exportBothKeys(TlsClient& tls, uint8_t c2s[NTS_KEY_SIZE], uint8_t s2c[NTS_KEY_SIZE]) {
  std::memcpy(c2s, tls.exported(), NTS_KEY_SIZE);
  std::memset(s2c, 0, NTS_KEY_SIZE);
  return false;
}

int statusOfTls(TlsOutcome outcome) {
  switch (outcome) {
    case TLS_NO_TLS13: return STATUS_NO_TLS13;
    case TLS_BAD_CERTIFICATE: return STATUS_BAD_CERTIFICATE;
    case TLS_CONNECTION_FAILED: return STATUS_NO_RESPONSE;
    default: return STATUS_NOT_AUTHENTIC;
  }
}

int statusOfKeyExchange(NtsKeResult result) {
  switch (result) {
    case NTS_KE_REFUSED: return STATUS_NTS_REFUSED;
    case NTS_KE_TRUNCATED: return STATUS_NO_RESPONSE;
    default: return STATUS_NOT_AUTHENTIC;
  }
}

// Writes what TLS has for the socket; what it does not take now goes at FD_WRITE.
bool flushTls(int slot) {
  const ServerQuery& query = serverQueries[slot];
  TlsClient& tls = *sessionOf(slot).tls;
  while (tls.pendingSize() > 0) {
    const int chunk = tls.pendingSize() > 16384 ? 16384 : static_cast<int>(tls.pendingSize());
    const int sent = send(socketOf(query), reinterpret_cast<const char*>(tls.pendingOutput()), chunk, 0);
    if (sent == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEWOULDBLOCK) return true;
      endQuery(slot, STATUS_NO_RESPONSE);
      return false;
    }
    tls.consumed(static_cast<size_t>(sent));
  }
  return true;
}

// The key exchange is complete: its keys set, its cookies kept, the TLS
// session closed, and the first NTP sample on its way.
void keyExchangeDone(int slot) {
  NtsSession& session = sessionOf(slot);
  ServerQuery& query = serverQueries[slot];
  uint8_t c2sKey[NTS_KEY_SIZE], s2cKey[NTS_KEY_SIZE];
  if (!exportBothKeys(*session.tls, c2sKey, s2cKey)) {
    endQuery(slot, STATUS_ONE_KEY_ONLY);
    return;
  }
  const bool keyed = session.c2s.setKey(c2sKey) && session.s2c.setKey(s2cKey);
  SecureZeroMemory(c2sKey, sizeof c2sKey);
  SecureZeroMemory(s2cKey, sizeof s2cKey);
  if (!keyed) {
    endQuery(slot, STATUS_NO_TLS13);
    return;
  }
  const NtsKeResponse& response = session.reader->response();
  session.jar = response.cookies;
  session.keyed = true;

  ServerAddress name;
  parseServerName(serverRecords[slot].name, name);
  char host[SERVER_NAME_SIZE];
  ntsNtpTarget(name.host, response.server, response.port, host, session.ntpPort);
  session.tls->shutdown();
  flushTls(slot);
  dropExchange(session);
  closeSampleSocket(query);

  const unsigned long numeric = inet_addr(host);
  if (response.server[0] == '\0') {
    session.ntpAddress = session.keAddress;
  } else if (numeric != INADDR_NONE) {
    session.ntpAddress = static_cast<uint32_t>(numeric);
  } else {
    session.ntpAddress = 0;
    lookUpSampleHost(slot, host);
    return;
  }
  query.address = session.ntpAddress;
  sampleDueNow(slot);
}

// After every TLS step: what the outcome asks for next.
void advanceKeyExchange(int slot, TlsOutcome outcome) {
  NtsSession& session = sessionOf(slot);
  if (outcome == TLS_HANDSHAKING) {
    flushTls(slot);
    return;
  }
  if (outcome != TLS_READY && outcome != TLS_CLOSED) {
    endQuery(slot, statusOfTls(outcome));
    return;
  }
  TlsClient& tls = *session.tls;
  if (outcome == TLS_READY && !session.requestSent) {
    uint8_t request[NTS_KE_REQUEST_SIZE];
    packNtsKeRequest(request);
    if (!tls.send(request, sizeof request)) {
      endQuery(slot, STATUS_NOT_AUTHENTIC);
      return;
    }
    session.requestSent = true;
  }
  if (!flushTls(slot)) return;
  NtsKeResult result = session.reader->feed(tls.plain(), tls.plainSize());
  tls.takePlain(tls.plainSize());
  if (result == NTS_KE_MORE && outcome == TLS_CLOSED) result = session.reader->finish();
  if (result == NTS_KE_MORE) return;
  if (result != NTS_KE_DONE) {
    endQuery(slot, statusOfKeyExchange(result));
    return;
  }
  keyExchangeDone(slot);
}

void startKeyExchange(int slot) {
  NtsSession& session = sessionOf(slot);
  ServerQuery& query = serverQueries[slot];
  session.keyed = false;
  session.jar.clear();
  session.exchangedThisRun = true;
  dropExchange(session);
  session.reader = makeOnHeap<NtsKeReader>();
  query.address = session.keAddress;
  if (!openSampleSocket(slot, SOCK_STREAM, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE)) return;
  query.phase = PHASE_KEY_EXCHANGE;
  query.dirty = 1;
  if (!connectSampleSocket(slot, session.keAddress, NTS_KE_PORT, nullptr)) return;
  runDeadline = readClock() + DEADLINE_CONNECT_MS;
}

void onKeyExchangeConnected(int slot, int error) {
  NtsSession& session = sessionOf(slot);
  if (error != 0) {
    endQuery(slot, error == WSAECONNREFUSED ? STATUS_REFUSED : STATUS_NO_RESPONSE);
    return;
  }
  runDeadline = readClock() + DEADLINE_ANSWER_MS;
  ServerAddress name;
  parseServerName(serverRecords[slot].name, name);
  // Host names are ASCII; each byte widens as it is.
  wchar_t host[SERVER_NAME_SIZE];
  int i = 0;
  for (; name.host[i] != '\0' && i < SERVER_NAME_SIZE - 1; ++i)
    host[i] = static_cast<wchar_t>(static_cast<unsigned char>(name.host[i]));
  host[i] = L'\0';
  uint8_t context[NTS_EXPORTER_CONTEXT_SIZE];
  ntsExporterContext(false, context);
  session.tls = makeOnHeap<TlsClient>();
  const bool corrected = bootCorrectedCheck != nullptr && bootCorrectedCheck();
  const TlsOutcome outcome = session.tls->start(host, context, sizeof context, corrected);
  // Without key export the handshake could only end in No TLS 1.3 once the
  // server answers: it is not sent at all.
  if (outcome == TLS_HANDSHAKING && !session.tls->exporterAvailable()) {
    endQuery(slot, STATUS_NO_TLS13);
    return;
  }
  advanceKeyExchange(slot, outcome);
}

// Everything the socket holds now goes into TLS.
void onKeyExchangeReadable(int slot) {
  NtsSession& session = sessionOf(slot);
  const ServerQuery& query = serverQueries[slot];
  for (;;) {
    char bytes[KE_RECEIVE_SIZE];
    const int received = recv(socketOf(query), bytes, sizeof bytes, 0);
    if (received == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEWOULDBLOCK) return;
      advanceKeyExchange(slot, session.tls->connectionClosed());
      return;
    }
    if (received == 0) return;  // FD_CLOSE follows
    uint8_t data[KE_RECEIVE_SIZE];
    std::memcpy(data, bytes, static_cast<size_t>(received));
    advanceKeyExchange(slot, session.tls->received(data, static_cast<size_t>(received)));
    // The step may have ended the query or the exchange.
    if (serverQueries[slot].phase != PHASE_KEY_EXCHANGE || session.tls == nullptr) return;
  }
}

void sendNtsRequest(int slot) {
  NtsSession& session = sessionOf(slot);
  ServerQuery& query = serverQueries[slot];
  query.address = session.ntpAddress;
  if (!openNtpSocket(slot, session.ntpAddress, session.ntpPort)) return;
  uint8_t nonce[NTS_NONCE_SIZE];
  if (!systemRandom(session.uniqueId, sizeof session.uniqueId) || !systemRandom(nonce, sizeof nonce)) {
    endQuery(slot, STATUS_NO_TLS13);
    return;
  }
  query.phase = PHASE_READING;
  query.dirty = 1;
  stampNtpRequest(slot);
  uint8_t packet[NTS_PACKET_MAX];
  const size_t size = packNtsRequest(query.requestStamp, session.uniqueId, nonce, session.jar, session.c2s, packet);
  if (size == 0) {
    endQuery(slot, STATUS_NOT_AUTHENTIC);
    return;
  }
  sendNtpRequest(slot, packet, size);
}

}  // namespace

void setBootCorrectedCheck(BootCorrectedCheck check) { bootCorrectedCheck = check; }

void forgetNtsSessions() {
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    NtsSession* session = sessions[slot];
    if (session == nullptr || session->tls != nullptr) continue;
    session->keyed = false;
    session->jar.clear();
  }
}

static void openNtsSample(int slot) {
  NtsSession& session = sessionOf(slot);
  const ServerQuery& query = serverQueries[slot];
  if (session.run != query.runNumber) {
    // The query's first sample: its address is the key exchange's, just looked up.
    session.run = query.runNumber;
    session.keAddress = query.address;
    session.exchangedThisRun = false;
  }
  if (session.keyed && session.ntpAddress == 0) session.ntpAddress = query.address;  // its lookup's answer
  if (session.keyed && session.jar.count() > 0) {
    sendNtsRequest(slot);
    return;
  }
  // Out of cookies, or no keys yet: a new key exchange, once a run.
  if (session.exchangedThisRun) {
    endQuery(slot, STATUS_NOT_AUTHENTIC);
    return;
  }
  startKeyExchange(slot);
}

static void onKeyExchangeEvent(int slot, int event, int error) {
  NtsSession& session = sessionOf(slot);
  if (event == SOCKET_EVENT_CONNECT) {
    if (session.tls == nullptr) onKeyExchangeConnected(slot, error);
    return;
  }
  if (session.tls == nullptr) return;
  if (error != 0) {
    advanceKeyExchange(slot, session.tls->connectionClosed());
    return;
  }
  switch (event) {
    case SOCKET_EVENT_READ: onKeyExchangeReadable(slot); break;
    case SOCKET_EVENT_WRITE: flushTls(slot); break;
    case SOCKET_EVENT_CLOSE:
      onKeyExchangeReadable(slot);
      if (serverQueries[slot].phase == PHASE_KEY_EXCHANGE && session.tls != nullptr)
        advanceKeyExchange(slot, session.tls->connectionClosed());
      break;
    default: break;
  }
}

static void onNtsAnswerReady(int slot, int error) {
  NtsSession& session = sessionOf(slot);
  ServerQuery& query = serverQueries[slot];
  // T4 before anything else: a later stamp only widens the bounds.
  const int64_t answeredUs = readClockUs();
  uint8_t packet[NTS_PACKET_MAX + 512];
  const size_t received = receiveNtpDatagram(slot, error, packet, sizeof packet);
  if (received == 0) return;
  const NtsAnswer answer = checkNtsAnswer(packet, received, query.requestStamp,
                                          session.uniqueId, session.s2c, session.jar);
  switch (answer.result) {
    case NTS_ANSWER_USE: takeNtpSample(slot, answer.ntp, answeredUs); return;
    // Not an answer to this request, or one that another sender made up: the
    // sample waits on for the real one.
    case NTS_ANSWER_DROP:
    case NTS_ANSWER_WRONG_ID: return;
    case NTS_ANSWER_KISS_RATE: kissReceived(slot, NTP_KISS_RATE); return;
    case NTS_ANSWER_KISS_DENY: kissReceived(slot, NTP_KISS_DENY); return;
    case NTS_ANSWER_NAK:
      // The server no longer takes our cookies: new ones from a new key
      // exchange, once a run.
      closeSampleSocket(query);
      session.keyed = false;
      if (session.exchangedThisRun) endQuery(slot, STATUS_NTS_REFUSED);
      else startKeyExchange(slot);
      return;
    default: endQuery(slot, STATUS_NOT_AUTHENTIC); return;
  }
}

static void endNtsExchange(int slot) {
  NtsSession* session = sessions[slot];
  if (session == nullptr) return;
  // A session cut off mid-exchange holds no keys to go on with.
  // Nor does one whose NTP server's lookup never answered.
  if (session->tls != nullptr || session->reader != nullptr || session->ntpAddress == 0) session->keyed = false;
  dropExchange(*session);
}

namespace {

class NtsExchange final : public SampleExchange {
 public:
  void openSample(int slot) override { openNtsSample(slot); }
  void onSocketEvent(int slot, int event, int error) override {
    const int phase = serverQueries[slot].phase;
    if (phase == PHASE_KEY_EXCHANGE) onKeyExchangeEvent(slot, event, error);
    else if (event == SOCKET_EVENT_READ && phase == PHASE_READING) onNtsAnswerReady(slot, error);
  }
  void queryEnded(int slot) override { endNtsExchange(slot); }
};

NtsExchange nts;

}  // namespace

SampleExchange& ntsExchange() { return nts; }
