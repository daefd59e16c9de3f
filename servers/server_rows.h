// What a server's list row shows, and the order of rows, computed from the
// slot's record and query alone.
#pragma once
#include "servers/server_query.h"
#include "servers/server_record.h"

const int ROW_TEXT_SIZE = 100;

// Column 1 (progress, status or latency) and column 2 (correction) texts.
void serverRowTexts(const ServerRecord& record, const ServerQuery& query,
                    char latencyText[ROW_TEXT_SIZE], char correctionText[ROW_TEXT_SIZE]);

typedef int (*NameCompare)(const char* a, const char* b);

// Negative when row a comes first. column 0 name, 1 latency, 2 correction;
// direction +1 or -1; names compare with compareNames (locale-aware).
int compareServerRows(const ServerRecord& ra, const ServerQuery& qa,
                      const ServerRecord& rb, const ServerQuery& qb,
                      int column, int direction, NameCompare compareNames);
