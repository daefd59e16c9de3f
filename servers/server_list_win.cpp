// Server list view (to be completed).
#include "servers/server_list.h"
#include "servers/server_list_win.h"

int sortColumn = 1;
int sortDirection = 1;
HWND serverList;

void initServerList() {}
void syncServerRows(SyncMode) {}
void refreshDirtyRows() {}
void sortServerRows() {}
void deleteSelectedServers() {}
void toggleSelectedServers() {}
int selectedServerSlots(int[], int) { return 0; }
void showServerMenu(MenuPlace) {}
BOOL onServerListNotify(const NMHDR*) { return FALSE; }
bool serverLabelEditOpen() { return false; }
void addServerCommand() {}
void editServerCommand() {}
void restoreListCommand() {}
