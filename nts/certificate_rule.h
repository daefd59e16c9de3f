// Which key-establishment server certificates are accepted, from what the
// system's chain engine and its TLS server policy say about them. The one
// fault forgiven is the validity period while this boot's clock has not been
// corrected yet: a clock years off would otherwise refuse every server, and
// with it the only way to learn the time. Once corrected, the clock is right
// enough to hold certificates to their dates.
#pragma once
#include <cstdint>

enum CertificateVerdict {
  CERTIFICATE_GOOD,
  CERTIFICATE_WRONG_NAME,  // not issued for the server's host name
  CERTIFICATE_UNTRUSTED,   // unknown or untrusted CA, broken chain or signature
  CERTIFICATE_EXPIRED,     // outside its validity period once the clock is corrected
  CERTIFICATE_REJECTED,    // any other fault: revoked, not for servers, weak, ...
  CERTIFICATE_UNCHECKED,   // the system's chain engine is not to be had
};

inline bool certificateAccepted(CertificateVerdict verdict) { return verdict == CERTIFICATE_GOOD; }

// The chain engine's error bits (the chain's trust status) that matter here.
const uint32_t CHAIN_NOT_TIME_VALID = 0x00000001;
const uint32_t CHAIN_NOT_TIME_NESTED = 0x00000002;
const uint32_t CHAIN_NOT_SIGNATURE_VALID = 0x00000008;
const uint32_t CHAIN_UNTRUSTED_ROOT = 0x00000020;
const uint32_t CHAIN_CYCLIC = 0x00000080;
const uint32_t CHAIN_PARTIAL = 0x00010000;
const uint32_t CHAIN_CTL_NOT_TIME_VALID = 0x00020000;

// The TLS server policy's results that are told apart.
const uint32_t POLICY_EXPIRED = 0x800B0101;
const uint32_t POLICY_UNTRUSTED_ROOT = 0x800B0109;
const uint32_t POLICY_CHAINING = 0x800B010A;
const uint32_t POLICY_UNTRUSTED_CA = 0x800B0112;
const uint32_t POLICY_NAME_MISMATCH = 0x800B010F;
const uint32_t POLICY_BAD_SIGNATURE = 0x80096004;

// chainErrors: the chain's error bits. policyError: the server policy's
// result for the host name with the validity period set aside (0: passed).
// bootCorrected: the clock has been corrected since this boot.
CertificateVerdict judgeCertificate(uint32_t chainErrors, uint32_t policyError, bool bootCorrected);
