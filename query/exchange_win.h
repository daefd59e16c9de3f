// What the two exchanges (time_protocol_win.cpp, ntp_win.cpp) and the shared
// query steps (query_win.cpp) offer each other. Each exchange opens one
// sample and turns its answer into the sample's latency, correction and
// bounds; the shared side plans, spaces and finishes the samples.
#pragma once
#include <cstdint>
#include "query/ntp_packet.h"
#include "servers/server_query.h"

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

// Time Protocol over TCP port 37 (time_protocol_win.cpp).
void openTimeProtocolSample(int slot);

// NTP over UDP port 123 (ntp_win.cpp).
void openNtpSample(int slot);
void onNtpAnswerReady(int slot, int error);
// The NTP stamps of an answer that passed its checks become the sample.
void takeNtpSample(int slot, const NtpAnswer& answer, int64_t answeredUs);
// Bits no one else can predict, for a request's transmit stamp.
uint32_t requestNoise();

// Shared: the sample starts now, or once the spacing allows.
void sampleDueNow(int slot);
// Looks host up for the slot's next sample; its answer becomes query.address.
void lookUpSampleHost(int slot, const char* host);

// Authenticated time (nts_win.cpp): the key exchange over TLS to port 4460,
// then NTP with NTS over UDP.
void openNtsSample(int slot);
void onKeyExchangeEvent(int slot, int event, int error);
void onNtsAnswerReady(int slot, int error);
// The query has ended: its key exchange in flight, if any, is let go.
void endNtsExchange(int slot);
