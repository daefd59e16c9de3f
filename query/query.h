// One server's query: three samples, each a Time Protocol exchange over a
// fresh TCP connection to port 37 or an NTP exchange over UDP port 123 as the
// name says, driven by window-message notifications and the sample timer.
#pragma once
#include <cstdint>

const int64_t DEADLINE_CONNECT_MS = 120000;
const int64_t DEADLINE_ANSWER_MS = 20000;

// Socket events as the notifications carry them (FD_READ, FD_CONNECT).
const int SOCKET_EVENT_READ = 0x01;
const int SOCKET_EVENT_WRITE = 0x02;
const int SOCKET_EVENT_CONNECT = 0x10;
const int SOCKET_EVENT_CLOSE = 0x20;

// The user's offset (ms), added to what every server says; the main window
// loads it from the settings and keeps it as the user edits it.
extern int64_t userOffset;

// The window that the sockets' notifications, the host lookups' answers and
// the sample timer go to (WM_SOCKET_EVENT, WM_DNS_DONE, TIMER_SAMPLE): given
// once at start-up, and nullptr once the window is gone.
void setQueryWindow(void* window);

void startQuery(int slot);
// The end of a run's start (holdRunOpen, query_run.h): the samples due at once
// connect, then the run may complete.
void releaseRun();
void endAllQueries(int status);
// Ends every query with STATUS_SLOW_RESPONSE once the run's deadline has passed.
void checkRunDeadline();
// At start-up, before the first query: each protocol's exchange is handed to
// the shared steps.
void plugInProtocols();
// Opens the current sample with the protocol of the slot's name.
void openSampleConnection(int slot);
void onHostLookupDone(uintptr_t task, int error);
void finishQuery(int slot);
// Ends the slot's query with status when one is in flight; otherwise nothing.
void endQuery(int slot, int status);
// WM_SOCKET_EVENT: hands the event to the in-flight slot holding the socket.
void onSocketEvent(uintptr_t socket, int event, int error);
// TIMER_SAMPLE, and the end of a run's start: connects every waiting slot
// whose time has come and sets the timer for the next.
void startDueSamples();

// Whether this boot's clock has had its first automatic correction: until it
// has, a key-exchange certificate's dates are forgiven. Asked at each key
// exchange; without a check given, the dates are held.
typedef bool (*BootCorrectedCheck)();
void setBootCorrectedCheck(BootCorrectedCheck check);
// Authenticated time's keys and cookies are let go (a resume from sleep):
// each server's next query starts with a new key exchange.
void forgetNtsSessions();
