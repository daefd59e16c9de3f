// Which server certificates authenticated time accepts, from the chain's error
// bits and the server policy's result.
#include <gtest/gtest.h>

#include "nts/certificate_rule.h"

namespace {

const uint32_t REVOKED = 0x00000004;          // a chain bit with no special meaning here
const uint32_t POLICY_REVOKED = 0x80092010;   // a policy result with none either
const uint32_t POLICY_WRONG_USAGE = 0x800B0110;

TEST(CertificateRule, CleanChainIsGoodWhateverTheClock) {
  EXPECT_EQ(judgeCertificate(0, 0, false), CERTIFICATE_GOOD);
  EXPECT_EQ(judgeCertificate(0, 0, true), CERTIFICATE_GOOD);
  EXPECT_TRUE(certificateAccepted(CERTIFICATE_GOOD));
  for (CertificateVerdict bad : {CERTIFICATE_WRONG_NAME, CERTIFICATE_UNTRUSTED, CERTIFICATE_EXPIRED,
                                 CERTIFICATE_REJECTED, CERTIFICATE_UNCHECKED})
    EXPECT_FALSE(certificateAccepted(bad));
}

TEST(CertificateRule, DatesAreForgivenOnlyBeforeTheBootsFirstCorrection) {
  for (uint32_t time : {CHAIN_NOT_TIME_VALID, CHAIN_NOT_TIME_NESTED, CHAIN_CTL_NOT_TIME_VALID,
                        CHAIN_NOT_TIME_VALID | CHAIN_CTL_NOT_TIME_VALID}) {
    EXPECT_EQ(judgeCertificate(time, 0, false), CERTIFICATE_GOOD) << time;
    EXPECT_EQ(judgeCertificate(time, 0, true), CERTIFICATE_EXPIRED) << time;
  }
}

TEST(CertificateRule, AnExpiredCertificateWithAnotherFaultIsNeverForgiven) {
  EXPECT_EQ(judgeCertificate(CHAIN_NOT_TIME_VALID, POLICY_NAME_MISMATCH, false), CERTIFICATE_WRONG_NAME);
  EXPECT_EQ(judgeCertificate(CHAIN_NOT_TIME_VALID | CHAIN_UNTRUSTED_ROOT, 0, false),
            CERTIFICATE_UNTRUSTED);
  EXPECT_EQ(judgeCertificate(CHAIN_NOT_TIME_VALID | REVOKED, 0, false), CERTIFICATE_REJECTED);
  // A policy that reports the dates it was told to set aside checked nothing after them.
  EXPECT_EQ(judgeCertificate(CHAIN_NOT_TIME_VALID, POLICY_EXPIRED, false), CERTIFICATE_EXPIRED);
  EXPECT_EQ(judgeCertificate(0, POLICY_EXPIRED, true), CERTIFICATE_EXPIRED);
}

TEST(CertificateRule, PolicyResultsNameTheFault) {
  EXPECT_EQ(judgeCertificate(0, POLICY_NAME_MISMATCH, false), CERTIFICATE_WRONG_NAME);
  for (uint32_t untrusted : {POLICY_UNTRUSTED_ROOT, POLICY_CHAINING, POLICY_UNTRUSTED_CA,
                             POLICY_BAD_SIGNATURE})
    EXPECT_EQ(judgeCertificate(0, untrusted, false), CERTIFICATE_UNTRUSTED) << std::hex << untrusted;
  EXPECT_EQ(judgeCertificate(0, POLICY_REVOKED, false), CERTIFICATE_REJECTED);
  EXPECT_EQ(judgeCertificate(0, POLICY_WRONG_USAGE, true), CERTIFICATE_REJECTED);
  // The policy's own result goes first: it names what the engine's bits only hint at.
  EXPECT_EQ(judgeCertificate(CHAIN_UNTRUSTED_ROOT, POLICY_NAME_MISMATCH, true), CERTIFICATE_WRONG_NAME);
}

TEST(CertificateRule, ChainFaultsCountEvenWhenThePolicyPasses) {
  for (uint32_t untrusted : {CHAIN_NOT_SIGNATURE_VALID, CHAIN_UNTRUSTED_ROOT, CHAIN_CYCLIC, CHAIN_PARTIAL})
    EXPECT_EQ(judgeCertificate(untrusted, 0, false), CERTIFICATE_UNTRUSTED) << untrusted;
  EXPECT_EQ(judgeCertificate(REVOKED, 0, false), CERTIFICATE_REJECTED);
  EXPECT_EQ(judgeCertificate(0x80000000u, 0, false), CERTIFICATE_REJECTED);
}

}  // namespace
