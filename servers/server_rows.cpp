// Row texts and row order of the server list, from a slot's record and query.
#include "servers/server_rows.h"

#include <cstdio>
#include <cstring>

#include "timebase/offset_text.h"

static void copyText(char* dest, const char* text) {
  std::snprintf(dest, ROW_TEXT_SIZE, "%s", text);
}

void serverRowTexts(const ServerRecord& record, const ServerQuery& query,
                    char latencyText[ROW_TEXT_SIZE], char correctionText[ROW_TEXT_SIZE]) {
  latencyText[0] = '\0';
  correctionText[0] = '\0';
  switch (query.phase) {
    case PHASE_IDLE: break;
    case PHASE_DNS: copyText(latencyText, "DNS Lookup..."); return;
    case PHASE_CONNECTING: std::snprintf(latencyText, ROW_TEXT_SIZE, "Connecting %d...", query.sampleIndex + 1); return;
    case PHASE_READING: std::snprintf(latencyText, ROW_TEXT_SIZE, "Reading %d...", query.sampleIndex + 1); return;
    case PHASE_WAITING: std::snprintf(latencyText, ROW_TEXT_SIZE, "Waiting %d...", query.sampleIndex + 1); return;
    case PHASE_KEY_EXCHANGE: copyText(latencyText, "Key Exchange..."); return;
    default: return;
  }
  if (!isResultStatus(record.status)) {
    copyText(latencyText, serverStatusText(record.status));
    return;
  }
  // Shown the way it always was, as a signed number: only a corrupt record
  // holds a latency beyond 2^31 ms.
  std::snprintf(latencyText, ROW_TEXT_SIZE, "%d", static_cast<int>(static_cast<int32_t>(record.latency)));
  char offset[32];
  formatOffset(record.correction, offset);
  // An authenticated server's result says so; the stored record stays as it
  // always was, so this shows for the results of this program's own runs.
  const bool authenticated = query.authenticated != 0;
  const char* suffix = record.status == STATUS_UNUSED ? (authenticated ? " (unused, authenticated)" : " (unused)")
                       : record.status == STATUS_TEST ? (authenticated ? " (test, authenticated)" : " (test)")
                       : authenticated                ? " (authenticated)"
                                                      : "";
  std::snprintf(correctionText, ROW_TEXT_SIZE, "%s%s", offset, suffix);
}

// Results form one group; a query in flight that has no status yet ranks by
// how far it got: -3 lookup or first sample, -2 second, -1 third.
static int32_t sortKey(const ServerRecord& record, const ServerQuery& query) {
  const int32_t key = record.status >= STATUS_UNUSED ? STATUS_GOOD : record.status;
  if (query.phase != PHASE_IDLE && key == STATUS_NONE) return query.sampleIndex - SAMPLES_PER_QUERY;
  return key;
}

static int sign(int value) { return (value > 0) - (value < 0); }

int compareServerRows(const ServerRecord& ra, const ServerQuery& qa,
                      const ServerRecord& rb, const ServerQuery& qb,
                      int column, int direction, NameCompare compareNames) {
  const int d = direction < 0 ? -1 : 1;
  if (column == 0) return sign(compareNames(ra.name, rb.name)) * d;

  // Enabled rows first in both directions. Any non-zero flag means enabled,
  // so a stored 2 does not outrank a 1.
  const int enabledA = ra.enabled != 0, enabledB = rb.enabled != 0;
  if (enabledA != enabledB) return enabledB - enabledA;

  const bool byCorrection = column == 2;
  const int32_t keyA = sortKey(ra, qa), keyB = sortKey(rb, qb);
  // By correction the groups keep their order; only the results reverse.
  if (keyA < keyB) return byCorrection ? 1 : d;
  if (keyA > keyB) return byCorrection ? -1 : -d;

  if (keyA == STATUS_GOOD) {
    if (byCorrection) {
      if (ra.correction < rb.correction) return -d;
      if (ra.correction > rb.correction) return d;
    } else {
      if (ra.latency < rb.latency) return -d;
      if (ra.latency > rb.latency) return d;
    }
  }
  // Ties read alphabetically whatever the direction.
  return sign(compareNames(ra.name, rb.name));
}
