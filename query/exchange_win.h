// What the exchanges (time_protocol_win.cpp, ntp_win.cpp, nts_win.cpp) and
// the shared query steps (query_win.cpp) offer each other. Each exchange opens
// one sample and turns its answer into the sample's latency, correction and
// bounds; the shared side plans, spaces and finishes the samples. The shared
// side knows an exchange only through SampleExchange, so that the calls run
// one way: from the exchanges down to the steps they share.
#pragma once
#include <cstddef>
#include <cstdint>
#include "query/ntp_packet.h"
#include "servers/server_query.h"

// One protocol's exchange, as the shared steps drive it.
class SampleExchange {
 public:
  // Opens the slot's current sample; its address is known and its time has come.
  virtual void openSample(int slot) = 0;
  // A notification for the slot's socket; the exchange acts only on the event
  // that the query's phase waits for.
  virtual void onSocketEvent(int slot, int event, int error) = 0;
  // The query has ended: what the exchange holds for it in flight is let go.
  virtual void queryEnded(int) {}

 protected:
  ~SampleExchange() = default;
};
// The exchange of each protocol (PROTOCOL_TIME, PROTOCOL_NTP, PROTOCOL_NTS);
// until one is given, a query of that protocol ends as a Winsock failure.
void useExchange(int protocol, SampleExchange* exchange);
SampleExchange& timeProtocolExchange();
SampleExchange& ntpExchange();
SampleExchange& ntsExchange();

// Shared steps (query_win.cpp).
// A fresh socket of this type (SOCK_STREAM, SOCK_DGRAM) for the slot's next
// sample, bound to any local port and reporting these events to the query
// window. On failure the query has ended and false comes back.
bool openSampleSocket(int slot, int type, long events);
void closeSampleSocket(ServerQuery& query);
// The address is being contacted now: no sample goes to it within the spacing.
void noteContact(uint32_t address);
// Starts the non-blocking connect of the slot's socket to address:port, the
// contact noted and startedAt (when given) stamped just before it; false,
// with the query ended, when Winsock refuses it.
bool connectSampleSocket(int slot, uint32_t address, uint16_t port, Millis1900* startedAt);
// The current sample's numbers are in: the next sample waits, or the query finishes.
void sampleTaken(int slot);
// The server sent a Kiss-o'-Death: it rests, and the query ends at once.
void kissReceived(int slot, NtpVerdict verdict);

// NTP over UDP (ntp_win.cpp), the steps that authenticated time shares.
// A socket for the slot's sample connected to address:port, so that only that
// server's datagrams arrive; false, with the query ended, on a failure.
bool openNtpSocket(int slot, uint32_t address, uint16_t port);
// The request leaves now: the contact noted, the sample's start stamped and
// the transmit stamp the answer must echo chosen.
void stampNtpRequest(int slot);
// Sends the request and waits for its answer until the deadline; false, with
// the query ended, when it could not be sent.
bool sendNtpRequest(int slot, const uint8_t* packet, size_t size);
// The datagram a read notification announced, in packet (room bytes): its
// size, or 0 when there is none to look at (the sample waits on, or the
// query ended on a socket failure).
size_t receiveNtpDatagram(int slot, int error, uint8_t* packet, size_t room);
// The NTP stamps of an answer that passed its checks become the sample.
void takeNtpSample(int slot, const NtpAnswer& answer, int64_t answeredUs);

// Shared: the sample starts now, or once the spacing allows.
void sampleDueNow(int slot);
// Looks host up for the slot's next sample; its answer becomes query.address.
void lookUpSampleHost(int slot, const char* host);
