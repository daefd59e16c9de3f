// The acceptance rule for key-establishment server certificates.
#include "nts/certificate_rule.h"

namespace {

const uint32_t TIME_FAULTS = CHAIN_NOT_TIME_VALID | CHAIN_NOT_TIME_NESTED | CHAIN_CTL_NOT_TIME_VALID;
const uint32_t TRUST_FAULTS = CHAIN_NOT_SIGNATURE_VALID | CHAIN_UNTRUSTED_ROOT | CHAIN_CYCLIC | CHAIN_PARTIAL;

}  // namespace

CertificateVerdict judgeCertificate(uint32_t chainErrors, uint32_t policyError, bool bootCorrected) {
  switch (policyError) {
    case 0:
      break;
    case POLICY_NAME_MISMATCH:
      return CERTIFICATE_WRONG_NAME;
    case POLICY_UNTRUSTED_ROOT:
    case POLICY_CHAINING:
    case POLICY_UNTRUSTED_CA:
    case POLICY_BAD_SIGNATURE:
      return CERTIFICATE_UNTRUSTED;
    case POLICY_EXPIRED:
      // The policy was to set the dates aside. Reporting them anyway, it
      // stopped there: the name and the rest went unchecked, so this is no
      // certificate to forgive its dates.
      return CERTIFICATE_EXPIRED;
    default:
      return CERTIFICATE_REJECTED;
  }
  // The policy passing a chain that the engine faulted is not taken on trust.
  if ((chainErrors & TRUST_FAULTS) != 0) return CERTIFICATE_UNTRUSTED;
  if ((chainErrors & ~TIME_FAULTS) != 0) return CERTIFICATE_REJECTED;
  if ((chainErrors & TIME_FAULTS) != 0 && bootCorrected) return CERTIFICATE_EXPIRED;
  return CERTIFICATE_GOOD;
}
