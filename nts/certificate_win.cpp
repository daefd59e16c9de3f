// The chain engine and the TLS server policy of crypt32 (loaded from System32)
// for the key-establishment server's certificate.
#include "nts/certificate_win.h"

#include <cwchar>

#include "nts/system_dll_win.h"

static_assert(CHAIN_NOT_TIME_VALID == CERT_TRUST_IS_NOT_TIME_VALID, "chain bit");
static_assert(CHAIN_NOT_TIME_NESTED == CERT_TRUST_IS_NOT_TIME_NESTED, "chain bit");
static_assert(CHAIN_NOT_SIGNATURE_VALID == CERT_TRUST_IS_NOT_SIGNATURE_VALID, "chain bit");
static_assert(CHAIN_UNTRUSTED_ROOT == CERT_TRUST_IS_UNTRUSTED_ROOT, "chain bit");
static_assert(CHAIN_CYCLIC == CERT_TRUST_IS_CYCLIC, "chain bit");
static_assert(CHAIN_PARTIAL == CERT_TRUST_IS_PARTIAL_CHAIN, "chain bit");
static_assert(CHAIN_CTL_NOT_TIME_VALID == CERT_TRUST_CTL_IS_NOT_TIME_VALID, "chain bit");
static_assert(POLICY_EXPIRED == static_cast<uint32_t>(CERT_E_EXPIRED), "policy result");
static_assert(POLICY_UNTRUSTED_ROOT == static_cast<uint32_t>(CERT_E_UNTRUSTEDROOT), "policy result");
static_assert(POLICY_CHAINING == static_cast<uint32_t>(CERT_E_CHAINING), "policy result");
static_assert(POLICY_UNTRUSTED_CA == static_cast<uint32_t>(CERT_E_UNTRUSTEDCA), "policy result");
static_assert(POLICY_NAME_MISMATCH == static_cast<uint32_t>(CERT_E_CN_NO_MATCH), "policy result");
static_assert(POLICY_BAD_SIGNATURE == static_cast<uint32_t>(TRUST_E_CERT_SIGNATURE), "policy result");

namespace {

// The server policy's own flag for "the dates are not its concern" (the
// same bit as in WinINet's security flags, whose header is not wanted here).
const DWORD POLICY_IGNORE_DATES = 0x00002000;

struct Crypt32 {
  decltype(&CertGetCertificateChain) getChain;
  decltype(&CertVerifyCertificateChainPolicy) verifyPolicy;
  decltype(&CertFreeCertificateChain) freeChain;
  decltype(&CertFreeCertificateContext) freeCertificate;
};

const Crypt32& crypt32() {
  static const Crypt32 calls = [] {
    const HMODULE dll = systemDll(L"crypt32.dll");
    Crypt32 found;
    found.getChain = systemCall<decltype(found.getChain)>(dll, "CertGetCertificateChain");
    found.verifyPolicy = systemCall<decltype(found.verifyPolicy)>(dll, "CertVerifyCertificateChainPolicy");
    found.freeChain = systemCall<decltype(found.freeChain)>(dll, "CertFreeCertificateChain");
    found.freeCertificate = systemCall<decltype(found.freeCertificate)>(dll, "CertFreeCertificateContext");
    return found;
  }();
  return calls;
}

}  // namespace

CertificateVerdict checkServerCertificate(PCCERT_CONTEXT leaf, HCERTSTORE sent, const wchar_t* hostName,
                                          bool bootCorrected) {
  const Crypt32& calls = crypt32();
  if (calls.getChain == nullptr || calls.verifyPolicy == nullptr || calls.freeChain == nullptr)
    return CERTIFICATE_UNCHECKED;
  if (leaf == nullptr || hostName == nullptr) return CERTIFICATE_REJECTED;
  // The policy takes the name as writable; a name longer than any host name is no host name.
  wchar_t name[256];
  const size_t length = std::wcslen(hostName);
  if (length == 0 || length >= sizeof name / sizeof name[0]) return CERTIFICATE_WRONG_NAME;
  std::wmemcpy(name, hostName, length + 1);

  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {serverAuth};
  CERT_CHAIN_PARA chainPara = {};
  chainPara.cbSize = sizeof chainPara;
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  // Local stores and caches only: the check runs on the window thread and
  // must not wait on the network, nor fetch roots or revocation lists. The
  // current user's engine trusts the machine's roots too.
  const DWORD chainFlags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!calls.getChain(nullptr, leaf, nullptr, sent != nullptr ? sent : leaf->hCertStore, &chainPara,
                      chainFlags, nullptr, &chain) ||
      chain == nullptr)
    return CERTIFICATE_UNCHECKED;

  // The policy checks the name, the CA and the usage with the dates set
  // aside; the rule weighs the dates from the chain's own bits.
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = POLICY_IGNORE_DATES;
  ssl.pwszServerName = name;
  CERT_CHAIN_POLICY_PARA policyPara = {};
  policyPara.cbSize = sizeof policyPara;
  policyPara.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS;
  policyPara.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS policy = {};
  policy.cbSize = sizeof policy;
  const BOOL ran = calls.verifyPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policy);
  const uint32_t chainErrors = chain->TrustStatus.dwErrorStatus;
  calls.freeChain(chain);
  if (!ran) return CERTIFICATE_UNCHECKED;
  return judgeCertificate(chainErrors, policy.dwError, bootCorrected);
}

void releaseCertificate(PCCERT_CONTEXT certificate) {
  if (certificate != nullptr && crypt32().freeCertificate != nullptr) crypt32().freeCertificate(certificate);
}
