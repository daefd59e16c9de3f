// Windows side of the server list: notifications, menu and list commands.
#pragma once
#include <windows.h>

extern HWND serverList;

enum MenuPlace { MENU_AT_CURSOR, MENU_AT_LIST_CORNER };
void showServerMenu(MenuPlace where);

// The list's background in the system's window colour: at initialisation and
// again on WM_SYSCOLORCHANGE.
void setServerListBackground();

// WM_NOTIFY from control 1005: TRUE when handled.
BOOL onServerListNotify(const NMHDR* header);
// True while a server name is being edited in place.
bool serverLabelEditOpen();

void addServerCommand();      // commands 4 and 108
void editServerCommand();     // command 112
void restoreListCommand();    // commands 3 and 117
