// Run bookkeeping, socket-event routing and the applied consensus, on the
// real Winsock, registry and clock of Wine. Wine accepts clock steps under
// half a second and refuses larger ones as unprivileged, so both outcomes of
// setting the clock run here without moving the host's clock.
#include <winsock.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "correction/correction.h"
#include "query/query.h"
#include "query/query_run.h"
#include "query/sample_math.h"
#include "resources/resource.h"
#include "servers/server_table.h"
#include "settings/settings.h"
#include "shell/main_window_win.h"
#include "shell/run_watch.h"
#include "shell/schedule.h"
#include "tests/win/wine_only.h"
#include "timebase/clock.h"

namespace {

// A connect to a multicast address fails at once (no route for TCP), so the
// query ends as soon as its first sample connects. Each test asks addresses of
// its own: an address just asked is not asked again for four seconds.
const char* const FAILS_AT_ONCE[3] = {"224.0.0.1", "224.0.0.2", "224.0.0.3"};

// A hidden top-level window of this thread with its own window procedure.
HWND topLevelWindow(const char* className, WNDPROC procedure) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = procedure;
  windowClass.lpszClassName = className;
  RegisterClassA(&windowClass);
  return CreateWindowExA(0, className, className, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                         nullptr);
}

// The run's later first samples are staggered; connect them now.
void connectWaitingSamples() {
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    if (serverQueries[slot].phase == PHASE_WAITING) serverQueries[slot].nextSampleAt = readClock();
  }
  startDueSamples();
}

class QueryRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_UNLESS_UNDER_WINE();
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    window = CreateWindowExA(0, "STATIC", "query run test", WS_POPUP, 0, 0, 10, 10, nullptr,
                             nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    button = CreateWindowExA(0, "BUTTON", "Synchronize Time", WS_CHILD, 0, 0, 10, 10, window,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_SYNCHRONIZE)),
                             nullptr, nullptr);
    attachMainWindow(window);
    std::memset(serverRecords, 0, sizeof serverRecords);
    std::memset(serverQueries, 0, sizeof serverQueries);
    pendingCount = 0;
    correctionFailed = 0;
    exitAfterCorrection = false;
  }

  void TearDown() override {
    if (IsSkipped()) return;
    endAllQueries(STATUS_INTERRUPTED);
    attachMainWindow(nullptr);
    DestroyWindow(window);
    WSACleanup();
  }

  void setServer(int slot, const char* name, int enabled, int status, int64_t correction) {
    std::strcpy(serverRecords[slot].name, name);
    serverRecords[slot].enabled = enabled;
    serverRecords[slot].status = status;
    serverRecords[slot].correction = correction;
  }

  std::string caption() {
    char text[100] = "";
    GetWindowTextA(button, text, sizeof text);
    return text;
  }

  int64_t storedInt64(const char* name) {
    uint8_t image[8] = {};
    EXPECT_TRUE(readSetting(name, image, sizeof image));
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | image[i];
    return static_cast<int64_t>(bits);
  }

  HWND window = nullptr;
  HWND button = nullptr;
};

TEST_F(QueryRunTest, QueriesFailingAtTheirStartCompleteTheRunOnlyOnceAllAreStarted) {
  // Stale good results of a previous run in every slot: had the run completed
  // after slot 0, the consensus would have applied slots 1 and 2.
  setServer(0, FAILS_AT_ONCE[0], 1, STATUS_GOOD, 100000);
  setServer(1, FAILS_AT_ONCE[1], 1, STATUS_GOOD, 100000);
  setServer(2, FAILS_AT_ONCE[2], 1, STATUS_GOOD, 100000);
  setServer(3, "disabled.test", 0, STATUS_GOOD, 100000);
  lastCorrectionValue = 777;

  startCorrectingRun();
  // The first fails at once; the others wait for their turn, holding the run open.
  EXPECT_EQ(pendingCount, 2);
  EXPECT_EQ(serverRecords[0].status, STATUS_WINSOCK_ERROR);
  EXPECT_EQ(serverQueries[1].phase, PHASE_WAITING);
  connectWaitingSamples();

  EXPECT_EQ(pendingCount, 0);
  for (int slot = 0; slot < 3; ++slot) {
    EXPECT_EQ(serverRecords[slot].status, STATUS_WINSOCK_ERROR) << slot;
    EXPECT_EQ(serverQueries[slot].phase, PHASE_IDLE) << slot;
    EXPECT_EQ(serverQueries[slot].sampleSocket, 0u) << slot;
  }
  EXPECT_EQ(serverRecords[3].status, STATUS_DISABLED);
  EXPECT_EQ(correctionFailed, 1);
  EXPECT_EQ(lastCorrectionValue, 777);
  EXPECT_EQ(caption(), "Synchronize Time");
}

TEST_F(QueryRunTest, RunWithoutEnabledServersIsNeitherAnnouncedNorCompleted) {
  setServer(5, "off.test", 0, STATUS_GOOD, 40);
  SetWindowTextA(button, "untouched");
  correctionFailed = 1;
  const Millis1900 before = readClock();

  startCorrectingRun();

  EXPECT_EQ(pendingCount, 0);
  EXPECT_EQ(serverRecords[5].status, STATUS_DISABLED);
  EXPECT_EQ(caption(), "untouched");
  EXPECT_EQ(correctionFailed, 1);  // no consensus ran
  EXPECT_GE(scheduleBase, before);
}

TEST_F(QueryRunTest, RunStaysOpenWhileAConnectionIsUnderWay) {
  // Nothing listens on this loopback address; the refusal arrives later as a
  // notification, so the query is still connecting when startQuery returns.
  setServer(0, "127.0.0.77", 1, STATUS_NONE, 0);
  setServer(1, "224.0.0.4", 1, STATUS_NONE, 0);
  const Millis1900 before = readClock();

  startCorrectingRun();
  connectWaitingSamples();

  EXPECT_EQ(pendingCount, 1);
  EXPECT_EQ(caption(), "Stop Correcting...");
  EXPECT_EQ(serverQueries[0].phase, PHASE_CONNECTING);
  EXPECT_NE(serverQueries[0].sampleSocket, 0u);
  EXPECT_EQ(serverRecords[1].status, STATUS_WINSOCK_ERROR);
  EXPECT_GE(runDeadline, before + DEADLINE_CONNECT_MS);

  // A second start during the run changes nothing.
  startCorrectingRun();
  EXPECT_EQ(pendingCount, 1);

  // The deadline itself does not end the run; only a time strictly after it.
  runDeadline = readClock() + 60000;
  checkRunDeadline();
  EXPECT_EQ(pendingCount, 1);
  runDeadline = readClock() - 1;
  checkRunDeadline();
  EXPECT_EQ(pendingCount, 0);
  EXPECT_EQ(serverRecords[0].status, STATUS_SLOW_RESPONSE);
  EXPECT_EQ(caption(), "Synchronize Time");
}

TEST_F(QueryRunTest, SocketEventsActOnlyInTheirPhase) {
  setServer(0, "127.0.0.79", 1, STATUS_NONE, 0);
  setServer(1, "127.0.0.80", 1, STATUS_NONE, 0);
  startCorrectingRun();
  connectWaitingSamples();
  ASSERT_EQ(pendingCount, 2);
  const uintptr_t s0 = serverQueries[0].sampleSocket;

  // A read event for a connecting socket is a leftover of an earlier socket
  // with the same value; an unknown socket belongs to no query.
  onSocketEvent(s0, SOCKET_EVENT_READ, 0);
  onSocketEvent(s0 + 4000, SOCKET_EVENT_CONNECT, WSAECONNREFUSED);
  EXPECT_EQ(serverQueries[0].phase, PHASE_CONNECTING);
  EXPECT_EQ(pendingCount, 2);

  onSocketEvent(s0, SOCKET_EVENT_CONNECT, WSAECONNREFUSED);
  EXPECT_EQ(serverQueries[0].phase, PHASE_IDLE);
  EXPECT_EQ(serverRecords[0].status, STATUS_REFUSED);
  EXPECT_EQ(pendingCount, 1);

  // Ending an idle slot changes nothing.
  endQuery(0, STATUS_INTERRUPTED);
  EXPECT_EQ(serverRecords[0].status, STATUS_REFUSED);
  EXPECT_EQ(pendingCount, 1);
}

// Stands for a second instance that asks for a correction while our
// time-change broadcast waits on it: a new run starts inside the completion.
LRESULT CALLBACK startingRunProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMECHANGE) {
    std::memset(serverRecords, 0, sizeof serverRecords);
    std::strcpy(serverRecords[0].name, "127.0.0.81");  // stays connecting
    serverRecords[0].enabled = 1;
    startCorrectingRun();
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(QueryRunTest, RunStartedDuringTheCompletionKeepsItsAnnouncement) {
  HWND starter = topLevelWindow("QueryRunTestStarter", startingRunProc);
  ASSERT_NE(starter, nullptr);
  setServer(0, "a.test", 1, STATUS_GOOD, 3600000);  // refused by Wine; still broadcast
  runIsTest = 0;

  completeRun();

  EXPECT_EQ(pendingCount, 1);
  EXPECT_EQ(caption(), "Stop Correcting...");
  EXPECT_TRUE(KillTimer(window, TIMER_BUSY));  // the new run's deadline is still checked
  DestroyWindow(starter);
}

TEST_F(QueryRunTest, AppliedConsensusIsRecordedAndStored) {
  // A 1 ms step: Wine accepts it, so the clock counts as set.
  setServer(0, "a.test", 1, STATUS_GOOD, 1);
  setServer(1, "b.test", 1, STATUS_GOOD, 1);
  setServer(2, "c.test", 1, STATUS_GOOD, 9000);
  exitAfterCorrection = true;
  const Millis1900 before = readClock();

  applyConsensus();

  EXPECT_EQ(correctionFailed, 0);
  EXPECT_EQ(lastCorrectionValue, 1);
  EXPECT_GE(lastCorrectionTime, before);
  EXPECT_EQ(scheduleBase, lastCorrectionTime);
  EXPECT_EQ(storedInt64("LastCorrectionTime"), lastCorrectionTime);
  EXPECT_EQ(storedInt64("LastCorrectionValue"), 1);
  EXPECT_EQ(serverRecords[2].status, STATUS_UNUSED);
  EXPECT_EQ(serverQueries[2].dirty, 1);
  uint8_t image[SERVER_IMAGE_SIZE];
  ASSERT_TRUE(readSetting("Server002", image, sizeof image));
  ServerRecord stored;
  unpackServerRecord(image, stored);
  EXPECT_EQ(stored.status, STATUS_UNUSED);
  EXPECT_TRUE(KillTimer(window, TIMER_EXIT));  // the delayed exit was armed
}

TEST_F(QueryRunTest, KeptServersRecordWhereTheAgreementPutsThem) {
  // Slots 0 and 1 share [10, 20): 15 is applied. Slot 2 lies above it.
  setServer(0, "a.test", 1, STATUS_GOOD, 10);
  setServer(1, "b.test", 1, STATUS_GOOD, 20);
  setServer(2, "c.test", 1, STATUS_GOOD, 300);
  serverQueries[0].bounds = {0, 20};
  serverQueries[1].bounds = {10, 30};
  serverQueries[2].bounds = {200, 400};
  // The agreement is found on the microsecond bounds, the records on these.
  for (int slot = 0; slot < 3; ++slot) serverQueries[slot].boundsUs = boundsInMicros(serverQueries[slot].bounds);

  applyConsensus();

  ASSERT_EQ(lastCorrectionValue, 15);
  const int64_t expected[3] = {15, 15, 200};
  for (int slot = 0; slot < 3; ++slot) {
    EXPECT_EQ(serverRecords[slot].correction, expected[slot]) << slot;
    EXPECT_EQ(serverQueries[slot].dirty, 1) << slot;
    char name[16];
    std::snprintf(name, sizeof name, "Server%03d", slot);
    uint8_t image[SERVER_IMAGE_SIZE];
    ASSERT_TRUE(readSetting(name, image, sizeof image)) << name;
    ServerRecord stored;
    unpackServerRecord(image, stored);
    EXPECT_EQ(stored.correction, expected[slot]) << name;
    EXPECT_EQ(stored.status, STATUS_GOOD) << name;
  }
}

TEST_F(QueryRunTest, RefusedClockKeepsTheScheduleBase) {
  setServer(0, "a.test", 1, STATUS_GOOD, 3600000);  // Wine refuses an hour's step
  scheduleBase = 123456;

  applyConsensus();

  EXPECT_EQ(lastCorrectionValue, 3600000);
  EXPECT_EQ(lastCorrectionTime, 0);
  EXPECT_EQ(scheduleBase, 123456);
  EXPECT_EQ(storedInt64("LastCorrectionTime"), 0);
  EXPECT_EQ(storedInt64("LastCorrectionValue"), 3600000);
  EXPECT_EQ(correctionFailed, 0);
  EXPECT_FALSE(KillTimer(window, TIMER_EXIT));  // exitAfterCorrection was clear
}

TEST_F(QueryRunTest, NoGoodServerOnlyRaisesTheFailure) {
  setServer(0, "a.test", 1, STATUS_TEST, 5);
  exitAfterCorrection = true;
  lastCorrectionValue = 42;
  lastCorrectionTime = 4242;

  applyConsensus();

  EXPECT_EQ(correctionFailed, 1);
  EXPECT_EQ(lastCorrectionValue, 42);
  EXPECT_EQ(lastCorrectionTime, 4242);
  EXPECT_FALSE(KillTimer(window, TIMER_EXIT));
}

int timeChanges;

LRESULT CALLBACK countingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMECHANGE) ++timeChanges;
  return DefWindowProcA(window, message, wParam, lParam);
}

struct HungWindow {
  HANDLE created;
  HANDLE release;
  HWND window;
};

// A top-level window whose thread stops handling messages until released.
DWORD WINAPI hungWindowThread(void* parameter) {
  HungWindow* hung = static_cast<HungWindow*>(parameter);
  hung->window = CreateWindowExA(0, "STATIC", "hung", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 nullptr, nullptr);
  SetEvent(hung->created);
  WaitForSingleObject(hung->release, INFINITE);
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  DestroyWindow(hung->window);
  return 0;
}

TEST_F(QueryRunTest, TimeChangeReachesWindowsWithoutWaitingForAHungOne) {
  HWND counter = topLevelWindow("QueryRunTestCounter", countingProc);
  ASSERT_NE(counter, nullptr);
  HungWindow hung = {CreateEventA(nullptr, TRUE, FALSE, nullptr),
                     CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr};
  HANDLE thread = CreateThread(nullptr, 0, hungWindowThread, &hung, 0, nullptr);
  WaitForSingleObject(hung.created, INFINITE);
  Sleep(100);  // not handling messages from here on
  timeChanges = 0;
  setServer(0, "a.test", 1, STATUS_GOOD, 1);

  applyConsensus();  // a plain broadcast would wait here for as long as the window hangs

  EXPECT_EQ(timeChanges, 1);
  SetEvent(hung.release);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(hung.created);
  CloseHandle(hung.release);
  DestroyWindow(counter);
}

}  // namespace
