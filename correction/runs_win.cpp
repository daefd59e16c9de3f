// A run from its start to its report: the queries started, and once the last
// has ended the consensus applied (a correcting run) and the end reported to
// the shell's observer (implements runs.h and the engine's side of
// run_report.h; the query side's RunStages lead here).
#include "correction/correction.h"
#include "correction/run_report.h"
#include "correction/runs.h"
#include "discipline/rate_keeping_win.h"
#include "query/query.h"
#include "query/query_run.h"
#include "servers/server_table.h"

namespace {

RunObserver* runObserver;

class ReportedRunStages final : public RunStages {
 public:
  void runUnderWay() override {
    if (runObserver != nullptr) runObserver->runUnderWay(runIsTest != 0);
  }
  // A correcting run's consensus reports the end itself, once it is applied.
  void runComplete() override {
    if (runIsTest == 0) {
      applyConsensus();
      return;
    }
    RunReport report = {};
    report.test = true;
    reportRunEnd(report);
  }
};

ReportedRunStages reportedRunStages;

}  // namespace

void reportRunsTo(RunObserver* observer) {
  runObserver = observer;
  followRunStages(&reportedRunStages);
}

bool runEndsSoon() { return runObserver != nullptr && runObserver->endsSoonAfterRun(); }

void reportRunEnd(const RunReport& report) {
  if (runObserver != nullptr) runObserver->runEnded(report);
}

bool beginCorrectingRun() {
  if (pendingCount != 0) return false;
  holdRateForRun();
  int32_t queries = 0;
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    if (serverRecords[slot].name[0] != '\0' && serverRecords[slot].enabled != 0) ++queries;
  }
  holdRunOpen(queries, false);
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    ServerRecord& record = serverRecords[slot];
    if (record.name[0] == '\0') continue;
    if (record.enabled != 0) {
      startQuery(slot);
    } else {
      // A fresh status for every named slot, so the consensus sees only this run.
      record.status = STATUS_DISABLED;
      saveServer(slot);
      serverQueries[slot].dirty = 1;
    }
  }
  releaseRun();
  return true;
}

bool beginTestRun(const int slots[], int count) {
  if (count <= 0) return false;
  if (pendingCount != 0) return false;
  holdRunOpen(count, true);
  for (int i = 0; i < count; ++i) {
    if (slots[i] >= 0 && slots[i] < SERVER_SLOTS) startQuery(slots[i]);
  }
  releaseRun();
  return true;
}
