// Telling the running image's file by its identity, and the volumes and
// mapping names around it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "shell/install_text.h"
#include "shell/own_file.h"

namespace {

FileIdentity identity(uint64_t volume, uint64_t low, uint64_t high = 0) {
  FileIdentity made = {};
  made.volume = volume;
  for (int i = 0; i < 8; ++i) {
    made.fileId[i] = static_cast<uint8_t>(low >> (8 * i));
    made.fileId[8 + i] = static_cast<uint8_t>(high >> (8 * i));
  }
  return made;
}

TEST(OwnFileIdentity, TheSameVolumeAndIdAreTheSameFile) {
  EXPECT_TRUE(isSameFileIdentity(identity(0x43000000, 0xa72bdb), identity(0x43000000, 0xa72bdb)));
  // Every byte of a 128-bit id counts, the last included.
  EXPECT_TRUE(isSameFileIdentity(identity(7, 1, 0x8000000000000000ull), identity(7, 1, 0x8000000000000000ull)));
  EXPECT_FALSE(isSameFileIdentity(identity(7, 1, 0x8000000000000000ull), identity(7, 1)));
  EXPECT_FALSE(isSameFileIdentity(identity(7, 0x100000000ull), identity(7, 1)));
}

TEST(OwnFileIdentity, AnotherIdOrVolumeIsAnotherFile) {
  // A file put under the image's name: same volume, next id.
  EXPECT_FALSE(isSameFileIdentity(identity(0x43000000, 0xa72bdb), identity(0x43000000, 0xa72bdc)));
  // The same id on another volume.
  EXPECT_FALSE(isSameFileIdentity(identity(0x43000000, 0xa72bdb), identity(0x4e000000, 0xa72bdb)));
  EXPECT_FALSE(isSameFileIdentity(identity(0x100000000ull, 5), identity(1, 5)));
}

TEST(OwnFileIdentity, NoIdentityEqualsNothingNotEvenItself) {
  const FileIdentity none = identity(0, 0);
  EXPECT_FALSE(isSameFileIdentity(none, none));
  EXPECT_FALSE(isSameFileIdentity(identity(0, 9), identity(0, 9)));          // no volume
  EXPECT_FALSE(isSameFileIdentity(identity(3, 0), identity(3, 0)));          // no id
  EXPECT_FALSE(isSameFileIdentity(identity(3, ~0ull, ~0ull), identity(3, ~0ull, ~0ull)));
  EXPECT_FALSE(isSameFileIdentity(identity(3, ~0ull), identity(3, ~0ull)));  // the 64-bit "no id"
  // Ones in part of the id are an id like any other.
  EXPECT_TRUE(isSameFileIdentity(identity(3, ~0ull, 1), identity(3, ~0ull, 1)));
  EXPECT_TRUE(isSameFileIdentity(identity(3, 0, ~0ull), identity(3, 0, ~0ull)));
}

TEST(OwnFileVolume, NetworkTypeOrRemoteFlagIsRemote) {
  EXPECT_TRUE(isRemoteDevice(DEVICE_TYPE_NETWORK_FILE_SYSTEM, 0));
  EXPECT_TRUE(isRemoteDevice(0x08, DEVICE_REMOTE | 0x20));  // a redirector reporting a disk
  EXPECT_FALSE(isRemoteDevice(0x08, 0x20));                 // a mounted local disk (Wine's C:)
  EXPECT_FALSE(isRemoteDevice(0x07, 0x01));                 // a removable disk
}

std::wstring openable(const wchar_t* mapped, size_t size = 64) {
  wchar_t out[64] = L"stale";
  const bool ok = openableMappedName(mapped, out, size);
  EXPECT_EQ(ok, out[0] != L'\0');
  return out;
}

TEST(OwnFileMappedName, DeviceAndDriveFormsOpenable) {
  EXPECT_EQ(openable(L"\\Device\\HarddiskVolume3\\Q\\quorvel.exe"),
            L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\Q\\quorvel.exe");
  EXPECT_EQ(openable(L"\\??\\C:\\a\\q.exe"), L"\\\\?\\C:\\a\\q.exe");
  EXPECT_EQ(openable(L"\\??\\UNC\\server\\share\\q.exe"), L"\\\\?\\UNC\\server\\share\\q.exe");
  // "\\?\C:\a\q.exe" is 14 characters: 15 with the terminator fit, 14 do not.
  EXPECT_EQ(openable(L"\\??\\C:\\a\\q.exe", 15), L"\\\\?\\C:\\a\\q.exe");
  EXPECT_EQ(openable(L"\\??\\C:\\a\\q.exe", 14), L"");
}

TEST(OwnFileMappedName, OtherFormsAndLeadsAloneAreNot) {
  EXPECT_EQ(openable(L"C:\\a\\q.exe"), L"");
  EXPECT_EQ(openable(L"\\\\?\\C:\\a\\q.exe"), L"");
  EXPECT_EQ(openable(L"\\??\\"), L"");
  EXPECT_EQ(openable(L"\\Device\\"), L"");
  EXPECT_EQ(openable(L"\\DeviceX\\q.exe"), L"");
  EXPECT_EQ(openable(L""), L"");
  EXPECT_EQ(openable(nullptr), L"");
  wchar_t untouched[1] = {L'x'};
  EXPECT_FALSE(openableMappedName(L"\\??\\C:\\q.exe", untouched, 0));
  EXPECT_EQ(untouched[0], L'x');
}

TEST(InstallOffer, SaysWhyAndFitsTheBalloon) {
  const InstallOffer trusted = installOffer(true);
  const InstallOffer untrusted = installOffer(false);
  EXPECT_STRNE(trusted.title, untrusted.title);
  // Where the file may be swapped, the balloon says by whom, not where.
  EXPECT_NE(std::string(untrusted.text).find("Other users could change"), std::string::npos);
  EXPECT_NE(std::string(trusted.text).find("under Program Files"), std::string::npos);
  for (const InstallOffer& offer : {trusted, untrusted}) {
    EXPECT_LT(std::strlen(offer.title), BALLOON_TITLE_SIZE);
    EXPECT_LT(std::strlen(offer.text), BALLOON_TEXT_SIZE);
    EXPECT_NE(std::string(offer.text).find("Install in Program Files"), std::string::npos);
  }
}

}  // namespace
