// The server list view: rows kept in line with the server table, the sort,
// the server menu, the list's notifications and the list commands.
#include <windows.h>
#include <commctrl.h>

#include "query/query.h"
#include "query/query_run.h"
#include "query/server_address.h"
#include "resources/resource.h"
#include "servers/server_rows.h"
#include "servers/server_table.h"
#include "shell/main_window_win.h"
#include "shell/server_list.h"
#include "shell/server_list_win.h"

int sortColumn = 1;
int sortDirection = 1;
HWND serverList;

static const char* const WARNING_CAPTION = "Warning!";
static const char* const NEW_SERVER_NAME = "New Server";

static int rowCount() { return static_cast<int>(SendMessageA(serverList, LVM_GETITEMCOUNT, 0, 0)); }

static int findRow(int slot) {
  LVFINDINFOA find = {};
  find.flags = LVFI_PARAM;
  find.lParam = slot;
  return static_cast<int>(SendMessageA(serverList, LVM_FINDITEMA, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(&find)));
}

// The slot a row stands for, or -1 for a row that is not one of ours.
static int rowSlot(int row) {
  LVITEMA item = {};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  if (!SendMessageA(serverList, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item))) return -1;
  if (item.lParam < 0 || item.lParam >= SERVER_SLOTS) return -1;
  return static_cast<int>(item.lParam);
}

static int nextRow(int after, UINT flags) {
  return static_cast<int>(SendMessageA(serverList, LVM_GETNEXTITEM, static_cast<WPARAM>(after), MAKELPARAM(flags, 0)));
}

static int selectedCount() { return static_cast<int>(SendMessageA(serverList, LVM_GETSELECTEDCOUNT, 0, 0)); }

static void setRowText(int row, int column, char* text) {
  LVITEMA item = {};
  item.iSubItem = column;
  item.pszText = text;
  SendMessageA(serverList, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

static void insertColumn(int column, const char* title, int width) {
  char text[32];
  lstrcpynA(text, title, sizeof text);
  LVCOLUMNA header = {};
  header.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
  header.fmt = LVCFMT_LEFT;
  header.cx = width;
  header.pszText = text;
  SendMessageA(serverList, LVM_INSERTCOLUMNA, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&header));
}

void setServerListBackground() {
  SendMessageA(serverList, LVM_SETBKCOLOR, 0, static_cast<LPARAM>(GetSysColor(COLOR_WINDOW)));
}

void initServerList() {
  // One image, the icon of enabled rows; disabled rows ask for image 1, which
  // does not exist, and so show none.
  HIMAGELIST images = ImageList_Create(11, 11, ILC_MASK, 1, 1);
  HICON icon = static_cast<HICON>(LoadImageA(appInstance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 11, 11, 0));
  if (icon != nullptr) {
    ImageList_ReplaceIcon(images, -1, icon);
    DestroyIcon(icon);
  }
  SendMessageA(serverList, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images));
  setServerListBackground();

  RECT client = {};
  GetClientRect(serverList, &client);
  const int w = client.right - client.left;
  insertColumn(0, "Time Server", w * 50 / 100);
  insertColumn(1, "Latency (ms)", w * 25 / 100);
  insertColumn(2, "Correction", w * 25 / 100);
}

void syncServerRows(SyncMode mode) {
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    ServerRecord& record = serverRecords[slot];
    serverQueries[slot].dirty = 0;
    const bool used = record.name[0] != '\0';
    if (mode == SYNC_TEXTS_ONLY && !used) continue;
    int row = findRow(slot);
    if (!used) {
      if (row >= 0) SendMessageA(serverList, LVM_DELETEITEM, static_cast<WPARAM>(row), 0);
      continue;
    }
    if (mode == SYNC_FULL) {
      if (row < 0) {
        LVITEMA item = {};
        item.mask = LVIF_PARAM;
        item.iItem = rowCount();
        item.lParam = slot;
        SendMessageA(serverList, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        row = findRow(slot);
        if (row < 0) continue;  // the control refused the row; go on with the others
      }
      LVITEMA item = {};
      item.mask = LVIF_TEXT | LVIF_IMAGE;
      item.iItem = row;
      item.pszText = record.name;
      item.iImage = record.enabled != 0 ? 0 : 1;
      SendMessageA(serverList, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    } else if (row < 0) {
      continue;
    }
    char latencyText[ROW_TEXT_SIZE], correctionText[ROW_TEXT_SIZE];
    serverRowTexts(record, serverQueries[slot], latencyText, correctionText);
    setRowText(row, 1, latencyText);
    setRowText(row, 2, correctionText);
  }
}

void loadServerTable() {
  readServerTable();
  syncServerRows(SYNC_FULL);
}

void resetServerList() {
  resetServerTable();
  syncServerRows(SYNC_FULL);
}

void commitServer(int slot) {
  syncServerRows(SYNC_FULL);
  saveServer(slot);
}

void refreshDirtyRows() {
  // Without the list there is no row to redraw: the marks wait for it.
  if (serverList == nullptr) return;
  bool anyDirty = false;
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) anyDirty = anyDirty || serverQueries[slot].dirty != 0;
  if (!anyDirty) return;
  syncServerRows(SYNC_TEXTS_ONLY);
  // Query progress never changes a name, so the name order stays as it is.
  if (sortColumn != 0) sortServerRows();
}

static int compareNamesByLocale(const char* a, const char* b) { return lstrcmpA(a, b); }

static int CALLBACK compareListRows(LPARAM a, LPARAM b, LPARAM) {
  if (a < 0 || a >= SERVER_SLOTS || b < 0 || b >= SERVER_SLOTS) return 0;
  return compareServerRows(serverRecords[a], serverQueries[a], serverRecords[b], serverQueries[b], sortColumn,
                           sortDirection, compareNamesByLocale);
}

void sortServerRows() {
  SendMessageA(serverList, LVM_SORTITEMS, 0, reinterpret_cast<LPARAM>(&compareListRows));
}

int selectedServerSlots(int slots[], int capacity) {
  int count = 0;
  for (int row = nextRow(-1, LVNI_SELECTED); row >= 0 && count < capacity; row = nextRow(row, LVNI_SELECTED)) {
    const int slot = rowSlot(row);
    if (slot >= 0) slots[count++] = slot;
  }
  return count;
}

static void greyMenuItem(HMENU menu, UINT id) {
  MENUITEMINFOA info = {};
  info.cbSize = sizeof info;
  info.fMask = MIIM_STATE;
  info.fState = MFS_GRAYED;
  SetMenuItemInfoA(menu, id, FALSE, &info);
}

void showServerMenu(MenuPlace where) {
  HMENU menu = LoadMenuA(appInstance, MAKEINTRESOURCEA(IDR_SERVER_MENU));
  if (menu == nullptr) return;
  HMENU popup = GetSubMenu(menu, 0);
  POINT point = {0, 0};
  if (where == MENU_AT_CURSOR) GetCursorPos(&point);
  else ClientToScreen(serverList, &point);
  if (usedServerCount() == SERVER_SLOTS) greyMenuItem(popup, IDM_ADD_SERVER);
  if (selectedCount() == 0) {
    greyMenuItem(popup, IDM_DELETE_SERVER);
    greyMenuItem(popup, IDM_ENABLE_DISABLE);
    greyMenuItem(popup, IDM_EDIT_SERVER);
    greyMenuItem(popup, IDM_TEST_SERVER);
  }
  TrackPopupMenu(popup, 0, point.x, point.y, 0, mainWindow, nullptr);
  DestroyMenu(menu);
}

static bool askWarning(const char* text) {
  return MessageBoxA(mainWindow, text, WARNING_CAPTION, MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK;
}

void deleteSelectedServers() {
  const int count = selectedCount();
  if (count == 0) return;
  char text[100];
  wsprintfA(text, "Are you sure you want to delete %d server(s)?", count);
  if (askWarning(text)) {
    // The box ran a message loop in which rows may have moved: go by the
    // current selection and each row's slot, one removal at a time. Each
    // round frees a slot, so there are at most as many rounds as slots.
    for (int round = 0; round < SERVER_SLOTS; ++round) {
      const int row = nextRow(-1, LVNI_SELECTED);
      if (row < 0) break;
      const int slot = rowSlot(row);
      if (slot < 0) break;
      endQuery(slot, STATUS_INTERRUPTED);
      serverRecords[slot].name[0] = '\0';
      commitServer(slot);
    }
  }
  sortServerRows();
}

void toggleSelectedServers() {
  // Slots first, then the changes: ending the last query of a run completes
  // the run, which re-sorts the rows under a walk by row position.
  int slots[SERVER_SLOTS];
  const int count = selectedServerSlots(slots, SERVER_SLOTS);
  for (int i = 0; i < count; ++i) {
    const int slot = slots[i];
    endQuery(slot, STATUS_INTERRUPTED);
    serverRecords[slot].enabled ^= 1;
    commitServer(slot);
  }
  sortServerRows();
}

static void editRowLabel(int row) {
  // The list edits a label only while it has the focus.
  SetFocus(serverList);
  SendMessageA(serverList, LVM_EDITLABELA, static_cast<WPARAM>(row), 0);
}

void addServerCommand() {
  const int slot = addServer(NEW_SERVER_NAME);
  if (slot < 0) return;
  commitServer(slot);
  const int row = findRow(slot);
  if (row >= 0) editRowLabel(row);
}

void editServerCommand() {
  const int row = nextRow(-1, LVNI_FOCUSED);
  if (row >= 0) editRowLabel(row);
}

void restoreListCommand() {
  if (!askWarning("Are you sure you want to reset the server list?")) return;
  endAllQueries(STATUS_INTERRUPTED);
  resetServerList();
  sortServerRows();
}

bool serverLabelEditOpen() {
  return serverList != nullptr && SendMessageA(serverList, LVM_GETEDITCONTROL, 0, 0) != 0;
}

static void renameServer(const NMLVDISPINFOA& edit) {
  // No text: the edit was cancelled.
  if ((edit.item.mask & LVIF_TEXT) == 0 || edit.item.pszText == nullptr) return;
  const int slot = rowSlot(edit.item.iItem);
  if (slot < 0) return;
  // A port this program does not speak keeps the old name: the edit is undone.
  ServerAddress address;
  if (edit.item.pszText[0] != '\0' && !parseServerName(edit.item.pszText, address)) {
    MessageBeep(MB_ICONEXCLAMATION);
    return;
  }
  endQuery(slot, STATUS_INTERRUPTED);
  setServerName(serverRecords[slot], edit.item.pszText);
  // An empty name frees the slot: the row goes and so does the stored value.
  commitServer(slot);
  sortServerRows();
}

// The notification's own result, read by the dialog manager when the dialog
// procedure reports the message handled.
static void setNotifyResult(LRESULT result) {
  if (mainWindow != nullptr) SetWindowLongPtrA(mainWindow, DWLP_MSGRESULT, result);
}

BOOL onServerListNotify(const NMHDR* header) {
  if (header == nullptr || header->idFrom != IDC_SERVER_LIST) return FALSE;
  switch (header->code) {
    case LVN_KEYDOWN: {
      const WORD key = reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey;
      // Enter never gets here: the message loop opens the menu for it.
      if (key == VK_APPS) {
        showServerMenu(MENU_AT_LIST_CORNER);
        return TRUE;
      }
      if (key == VK_DELETE) {
        deleteSelectedServers();
        return TRUE;
      }
      return FALSE;
    }
    case LVN_COLUMNCLICK: {
      const int column = reinterpret_cast<const NMLISTVIEW*>(header)->iSubItem;
      if (column == sortColumn) {
        sortDirection = -sortDirection;
      } else {
        sortColumn = column;
        sortDirection = 1;
      }
      sortServerRows();
      return TRUE;
    }
    case LVN_ENDLABELEDITA:
      renameServer(*reinterpret_cast<const NMLVDISPINFOA*>(header));
      // The row already shows the name from the table (or is gone); the
      // control must not write the edited text onto it afterwards.
      setNotifyResult(FALSE);
      return TRUE;
    case NM_RCLICK:
      showServerMenu(MENU_AT_CURSOR);
      // Handled: no WM_CONTEXTMENU follows.
      setNotifyResult(TRUE);
      return TRUE;
    default:
      return FALSE;
  }
}
