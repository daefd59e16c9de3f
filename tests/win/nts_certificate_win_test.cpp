// The server certificate check on chains made for this test run (see
// tests/win/nts-certificates.sh), with their CA added to the throw-away
// prefix's trusted roots: this runs only under Wine.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nts/certificate_win.h"
#include "tests/win/wine_only.h"

namespace {

std::vector<BYTE> readCertificateFile(const char* name) {
  char dir[MAX_PATH] = "";
  const DWORD got = GetEnvironmentVariableA("QV_NTS_CERTS", dir, sizeof dir);
  if (got == 0 || got >= sizeof dir) return {};
  // The fixture script gives a Unix path; Wine's Z: drive is the Unix root.
  const std::string path = (dir[0] == '/' ? std::string("Z:") : std::string()) + dir + "/" + name + ".der";
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::vector<BYTE> bytes(GetFileSize(file, nullptr));
  DWORD read = 0;
  if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size())
    bytes.clear();
  CloseHandle(file);
  return bytes;
}

// What the server sent, as SChannel hands it over: the leaf inside a store
// that also holds the intermediates.
class SentChain {
 public:
  explicit SentChain(const char* leafName, const char* intermediateName = nullptr) {
    store_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (intermediateName != nullptr) add(intermediateName, nullptr);
    add(leafName, &leaf_);
  }
  ~SentChain() {
    if (leaf_ != nullptr) CertFreeCertificateContext(leaf_);
    if (store_ != nullptr) CertCloseStore(store_, 0);
  }
  SentChain(const SentChain&) = delete;
  SentChain& operator=(const SentChain&) = delete;
  PCCERT_CONTEXT leaf() const { return leaf_; }
  HCERTSTORE store() const { return store_; }

 private:
  void add(const char* name, PCCERT_CONTEXT* added) {
    const std::vector<BYTE> der = readCertificateFile(name);
    ASSERT_FALSE(der.empty()) << name << ".der: QV_NTS_CERTS must name the fixture's folder";
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, der.data(),
                                                 static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, added));
  }
  HCERTSTORE store_ = nullptr;
  PCCERT_CONTEXT leaf_ = nullptr;
};

class ServerCertificate : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_UNLESS_UNDER_WINE();
    static bool trusted = false;
    if (trusted) return;
    const std::vector<BYTE> ca = readCertificateFile("ca");
    ASSERT_FALSE(ca.empty()) << "QV_NTS_CERTS must name the fixture's folder";
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    ASSERT_NE(root, nullptr);
    ASSERT_TRUE(CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, ca.data(),
                                                 static_cast<DWORD>(ca.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    CertCloseStore(root, 0);
    trusted = true;
  }

  static CertificateVerdict check(const SentChain& sent, const wchar_t* host, bool bootCorrected) {
    return checkServerCertificate(sent.leaf(), sent.store(), host, bootCorrected);
  }
};

TEST_F(ServerCertificate, GoodForItsOwnNameOnly) {
  const SentChain sent("good");
  ASSERT_NE(sent.leaf(), nullptr);
  EXPECT_EQ(check(sent, L"nts.test", false), CERTIFICATE_GOOD);
  EXPECT_EQ(check(sent, L"nts.test", true), CERTIFICATE_GOOD);
  EXPECT_EQ(check(sent, L"other.test", false), CERTIFICATE_WRONG_NAME);
  EXPECT_EQ(check(sent, L"sub.nts.test", true), CERTIFICATE_WRONG_NAME);
  // The leaf's own store serves when no store is named.
  EXPECT_EQ(checkServerCertificate(sent.leaf(), nullptr, L"nts.test", true), CERTIFICATE_GOOD);
}

TEST_F(ServerCertificate, UnknownCaIsUntrusted) {
  const SentChain sent("stranger");
  ASSERT_NE(sent.leaf(), nullptr);
  EXPECT_EQ(check(sent, L"nts.test", false), CERTIFICATE_UNTRUSTED);
  EXPECT_EQ(check(sent, L"nts.test", true), CERTIFICATE_UNTRUSTED);
}

TEST_F(ServerCertificate, ClientOnlyCertificateIsNoServers) {
  const SentChain sent("client");
  ASSERT_NE(sent.leaf(), nullptr);
  EXPECT_EQ(check(sent, L"nts.test", false), CERTIFICATE_REJECTED);
}

TEST_F(ServerCertificate, ExpiredIsForgivenOnlyBeforeTheBootsFirstCorrection) {
  const SentChain sent("expired");
  ASSERT_NE(sent.leaf(), nullptr);
  EXPECT_EQ(check(sent, L"nts.test", false), CERTIFICATE_GOOD);
  EXPECT_EQ(check(sent, L"nts.test", true), CERTIFICATE_EXPIRED);
  // Setting the dates aside still checks the name.
  EXPECT_EQ(check(sent, L"other.test", false), CERTIFICATE_WRONG_NAME);
}

TEST_F(ServerCertificate, IntermediatesComeFromWhatTheServerSent) {
  const SentChain complete("chained", "intermediate");
  ASSERT_NE(complete.leaf(), nullptr);
  EXPECT_EQ(check(complete, L"nts.test", true), CERTIFICATE_GOOD);
  const SentChain alone("chained");
  ASSERT_NE(alone.leaf(), nullptr);
  EXPECT_EQ(check(alone, L"nts.test", true), CERTIFICATE_UNTRUSTED);
}

TEST_F(ServerCertificate, NoCertificateOrNameIsNeverGood) {
  EXPECT_EQ(checkServerCertificate(nullptr, nullptr, L"nts.test", false), CERTIFICATE_REJECTED);
  const SentChain sent("good");
  EXPECT_EQ(check(sent, L"", false), CERTIFICATE_WRONG_NAME);
  EXPECT_EQ(checkServerCertificate(sent.leaf(), sent.store(), nullptr, false), CERTIFICATE_REJECTED);
  const std::wstring longName(300, L'a');
  EXPECT_EQ(check(sent, longName.c_str(), false), CERTIFICATE_WRONG_NAME);
}

}  // namespace
