// The server table against a real list view and the (Wine) registry.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "servers/server_table.h"
#include "settings/settings.h"
#include "shell/server_list.h"
#include "shell/server_list_win.h"
#include "tests/win/wine_only.h"

namespace {

struct ListRow {
  int slot;
  int image;
  std::string name, latency, correction;
};

std::string cellText(int row, int column) {
  char text[256] = {};
  LVITEMA item = {};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = sizeof text;
  SendMessageA(serverList, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return text;
}

std::vector<ListRow> listRows() {
  std::vector<ListRow> rows;
  const int count = static_cast<int>(SendMessageA(serverList, LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < count; ++row) {
    LVITEMA item = {};
    item.mask = LVIF_PARAM | LVIF_IMAGE;
    item.iItem = row;
    SendMessageA(serverList, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    rows.push_back({static_cast<int>(item.lParam), item.iImage, cellText(row, 0), cellText(row, 1), cellText(row, 2)});
  }
  return rows;
}

std::string rowNames() {
  std::string names;
  for (const ListRow& row : listRows()) names += (names.empty() ? "" : " ") + row.name;
  return names;
}

void setRecord(int slot, const char* name, int32_t status, uint32_t latency = 0, int64_t correction = 0,
               int32_t enabled = 1) {
  ServerRecord& record = serverRecords[slot];
  setServerName(record, name);
  record.enabled = enabled;
  record.status = status;
  record.latency = latency;
  record.correction = correction;
}

bool storedImage(int slot, std::string* bytes) {
  char valueName[16];
  wsprintfA(valueName, "Server%03d", slot);
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  char buffer[1024];
  DWORD size = sizeof buffer;
  const bool ok = RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) ==
                  ERROR_SUCCESS;
  RegCloseKey(key);
  if (ok) bytes->assign(buffer, size);
  return ok;
}

void storeRaw(int slot, const std::string& bytes) {
  char valueName[16];
  wsprintfA(valueName, "Server%03d", slot);
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, valueName, 0, REG_BINARY, reinterpret_cast<const BYTE*>(bytes.data()),
                 static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
}

std::string recordImage(const char* name, int32_t status, uint32_t latency, int64_t correction,
                        int32_t enabled = 1) {
  ServerRecord record = {};
  setServerName(record, name);
  record.enabled = enabled;
  record.status = status;
  record.latency = latency;
  record.correction = correction;
  uint8_t image[SERVER_IMAGE_SIZE];
  packServerRecord(record, image);
  return std::string(reinterpret_cast<const char*>(image), sizeof image);
}

class ServerListView : public ::testing::Test {
 protected:
  void SetUp() override {
    InitCommonControls();
    std::memset(serverRecords, 0, sizeof serverRecords);
    std::memset(serverQueries, 0, sizeof serverQueries);
    sortColumn = 1;
    sortDirection = 1;
    serverList = CreateWindowExA(0, WC_LISTVIEWA, "", WS_POPUP | LVS_REPORT | LVS_EDITLABELS, 0, 0, 400, 200,
                                 nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(serverList, nullptr);
    initServerList();
  }
  void TearDown() override {
    DestroyWindow(serverList);
    serverList = nullptr;
    std::memset(serverRecords, 0, sizeof serverRecords);
  }
};

// The list together with the stored records in our settings key.
class ServerListStore : public ServerListView {
 protected:
  void SetUp() override {
    SKIP_UNLESS_UNDER_WINE();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
    ServerListView::SetUp();
  }
  void TearDown() override {
    if (IsSkipped()) return;
    ServerListView::TearDown();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
  }
};

TEST_F(ServerListView, ColumnsShareTheClientWidth) {
  RECT client;
  GetClientRect(serverList, &client);
  const int w = client.right;
  const int widths[3] = {w * 50 / 100, w * 25 / 100, w * 25 / 100};
  const char* const titles[3] = {"Time Server", "Latency (ms)", "Correction"};
  for (int column = 0; column < 3; ++column) {
    char text[64] = {};
    LVCOLUMNA header = {};
    header.mask = LVCF_WIDTH | LVCF_TEXT;
    header.pszText = text;
    header.cchTextMax = sizeof text;
    ASSERT_TRUE(SendMessageA(serverList, LVM_GETCOLUMNA, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&header)));
    EXPECT_EQ(header.cx, widths[column]);
    EXPECT_STREQ(text, titles[column]);
  }
}

TEST_F(ServerListView, FullSyncFollowsTheTable) {
  setRecord(4, "good.test", STATUS_GOOD, 45, -1234);
  setRecord(9, "off.test", STATUS_REFUSED, 0, 0, 0);
  setRecord(2, "test.test", STATUS_TEST, 7, 2500);
  serverQueries[4].dirty = 1;
  syncServerRows(SYNC_FULL);
  EXPECT_EQ(serverQueries[4].dirty, 0);

  std::vector<ListRow> rows = listRows();
  ASSERT_EQ(rows.size(), 3u);  // inserted in slot order
  EXPECT_EQ(rows[0].slot, 2);
  EXPECT_EQ(rows[0].correction, "+2.5s (test)");
  EXPECT_EQ(rows[1].slot, 4);
  EXPECT_EQ(rows[1].name, "good.test");
  EXPECT_EQ(rows[1].latency, "45");
  EXPECT_EQ(rows[1].correction, "-1.2s");
  EXPECT_EQ(rows[1].image, 0);
  EXPECT_EQ(rows[2].latency, "Refused");
  EXPECT_EQ(rows[2].image, 1);  // disabled: no icon

  // A freed slot loses its row; texts-only mode neither adds nor removes rows.
  serverRecords[2].name[0] = '\0';
  setRecord(20, "new.test", STATUS_NONE);
  serverQueries[4].phase = PHASE_READING;
  serverQueries[4].sampleIndex = 1;
  syncServerRows(SYNC_TEXTS_ONLY);
  rows = listRows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].latency, "Reading 2...");
  EXPECT_EQ(rows[1].correction, "");
  syncServerRows(SYNC_FULL);
  EXPECT_EQ(rowNames(), "good.test off.test new.test");
}

TEST_F(ServerListView, SortFollowsColumnAndDirection) {
  setRecord(0, "b.test", STATUS_GOOD, 40);
  setRecord(1, "a.test", STATUS_GOOD, 40);
  setRecord(2, "fast.test", STATUS_GOOD, 5);
  setRecord(3, "c.test", STATUS_GOOD, 1, 0, 0);
  setRecord(4, "Z.test", STATUS_NO_RESPONSE);
  syncServerRows(SYNC_FULL);
  sortServerRows();
  EXPECT_EQ(rowNames(), "fast.test a.test b.test Z.test c.test");
  sortDirection = -1;
  sortServerRows();
  EXPECT_EQ(rowNames(), "Z.test a.test b.test fast.test c.test");
  sortColumn = 0;
  sortDirection = 1;
  sortServerRows();
  EXPECT_EQ(rowNames().substr(0, 13), "a.test b.test");
  EXPECT_EQ(listRows().size(), 5u);
}

TEST_F(ServerListView, RefreshOnlyWhenDirty) {
  setRecord(0, "a.test", STATUS_GOOD, 10);
  setRecord(1, "b.test", STATUS_GOOD, 90);
  syncServerRows(SYNC_FULL);
  serverRecords[1].latency = 5;
  refreshDirtyRows();  // nothing marked: the rows stay as they were
  EXPECT_EQ(rowNames(), "a.test b.test");
  EXPECT_EQ(listRows()[1].latency, "90");
  serverQueries[1].dirty = 1;
  refreshDirtyRows();
  EXPECT_EQ(rowNames(), "b.test a.test");
  EXPECT_EQ(listRows()[0].latency, "5");
  EXPECT_EQ(serverQueries[1].dirty, 0);
}

BOOL endLabelEdit(int row, const char* text, UINT mask = LVIF_TEXT) {
  NMLVDISPINFOA edit = {};
  edit.hdr.hwndFrom = serverList;
  edit.hdr.idFrom = IDC_SERVER_LIST;
  edit.hdr.code = LVN_ENDLABELEDITA;
  edit.item.mask = mask;
  edit.item.iItem = row;
  edit.item.pszText = const_cast<char*>(text);
  return onServerListNotify(&edit.hdr);
}

TEST_F(ServerListStore, RenameKeepsTheResultAndAnEmptyNameDeletes) {
  loadDefaultServers = false;
  setRecord(0, "old.test", STATUS_GOOD, 45, -1234, 0);
  setRecord(1, "other.test", STATUS_REFUSED);
  commitServer(0);
  commitServer(1);
  std::string stored;

  // Cancelled: no text, or no text flag.
  EXPECT_TRUE(endLabelEdit(0, nullptr));
  EXPECT_TRUE(endLabelEdit(0, "ignored", 0));
  EXPECT_STREQ(serverRecords[0].name, "old.test");

  const std::string longName(200, 'r');
  EXPECT_TRUE(endLabelEdit(0, longName.c_str()));
  EXPECT_EQ(std::string(serverRecords[0].name), longName.substr(0, 127));
  ASSERT_TRUE(storedImage(0, &stored));
  EXPECT_EQ(stored, recordImage(longName.c_str(), STATUS_GOOD, 45, -1234, 0));

  // The sort put the renamed, disabled server last; an empty text removes it.
  std::vector<ListRow> rows = listRows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].slot, 0);
  EXPECT_TRUE(endLabelEdit(1, ""));
  EXPECT_EQ(serverRecords[0].name[0], '\0');
  EXPECT_FALSE(storedImage(0, &stored));
  rows = listRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].slot, 1);
}

TEST_F(ServerListView, ColumnClicksChooseAndReverseTheSort) {
  NMLISTVIEW click = {};
  click.hdr.idFrom = IDC_SERVER_LIST;
  click.hdr.code = LVN_COLUMNCLICK;
  click.iSubItem = 1;
  EXPECT_TRUE(onServerListNotify(&click.hdr));
  EXPECT_EQ(sortColumn, 1);
  EXPECT_EQ(sortDirection, -1);
  click.iSubItem = 2;
  onServerListNotify(&click.hdr);
  EXPECT_EQ(sortColumn, 2);
  EXPECT_EQ(sortDirection, 1);

  NMLVKEYDOWN key = {};
  key.hdr.idFrom = IDC_SERVER_LIST;
  key.hdr.code = LVN_KEYDOWN;
  key.wVKey = 'A';
  EXPECT_FALSE(onServerListNotify(&key.hdr));
  click.hdr.idFrom = IDC_SERVER_LIST + 1;
  EXPECT_FALSE(onServerListNotify(&click.hdr));
}

TEST_F(ServerListStore, SaveAndLoadTheRegistryImage) {
  loadDefaultServers = false;
  setRecord(3, "saved.test", STATUS_GOOD, 45, -1234);
  commitServer(3);
  std::string stored;
  ASSERT_TRUE(storedImage(3, &stored));
  EXPECT_EQ(stored, recordImage("saved.test", STATUS_GOOD, 45, -1234));

  // Short and long values are taken for what they hold, a 128-byte name without
  // NUL is cut at 127; a missing value frees its slot.
  storeRaw(0, std::string("abcdefghij", 10));
  storeRaw(1, recordImage("long.test", STATUS_TEST, 7, 1) + std::string(148, '\x7f'));
  storeRaw(2, std::string(128, 'n') + recordImage("", STATUS_GOOD, 3, 4).substr(128));
  std::memset(serverRecords, 0, sizeof serverRecords);
  setRecord(5, "gone.test", STATUS_GOOD);
  loadServerTable();

  EXPECT_STREQ(serverRecords[0].name, "abcdefghij");
  EXPECT_EQ(serverRecords[0].status, STATUS_NONE);
  EXPECT_STREQ(serverRecords[1].name, "long.test");
  EXPECT_EQ(serverRecords[1].status, STATUS_TEST);
  EXPECT_EQ(std::string(serverRecords[2].name), std::string(127, 'n'));
  EXPECT_EQ(serverRecords[2].latency, 3u);
  EXPECT_STREQ(serverRecords[3].name, "saved.test");
  EXPECT_EQ(serverRecords[3].correction, -1234);
  EXPECT_EQ(serverRecords[5].name[0], '\0');
  EXPECT_EQ(listRows().size(), 4u);

  // Saving a free slot deletes its value.
  serverRecords[3].name[0] = '\0';
  commitServer(3);
  EXPECT_FALSE(storedImage(3, &stored));
  EXPECT_EQ(listRows().size(), 3u);
}

TEST_F(ServerListStore, ResetStoresTheDefaultsOnly) {
  storeRaw(20, recordImage("old.test", STATUS_GOOD, 1, 1));
  loadDefaultServers = true;
  loadServerTable();
  EXPECT_FALSE(loadDefaultServers);
  std::string stored;
  for (int slot = 0; slot < DEFAULT_SERVER_COUNT; ++slot) {
    ASSERT_TRUE(storedImage(slot, &stored)) << slot;
    EXPECT_EQ(stored, recordImage(defaultServers[slot], STATUS_NONE, 0, 0)) << slot;
  }
  for (int slot = DEFAULT_SERVER_COUNT; slot < SERVER_SLOTS; ++slot) EXPECT_FALSE(storedImage(slot, &stored)) << slot;
  EXPECT_EQ(listRows().size(), static_cast<size_t>(DEFAULT_SERVER_COUNT));
}

}  // namespace
