// The main window's server list view (control 1005).
#pragma once

extern int sortColumn;     // 0 name, 1 latency, 2 correction
extern int sortDirection;  // +1 or -1

enum SyncMode { SYNC_FULL, SYNC_TEXTS_ONLY };

void initServerList();
void syncServerRows(SyncMode mode);
void refreshDirtyRows();
void sortServerRows();
void deleteSelectedServers();
void toggleSelectedServers();
// Slot indices of the selected rows in list order; returns their number.
int selectedServerSlots(int slots[], int capacity);

// The server table's loading, reset and saving of one slot, each followed by
// the rows brought in line with the table.
void loadServerTable();
void resetServerList();
void commitServer(int slot);
