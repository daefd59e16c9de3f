// The key-establishment server's certificate, checked by the system's chain
// engine and its TLS server policy against the system's trusted roots, from
// the local stores only; the verdict itself comes from judgeCertificate.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include "nts/certificate_rule.h"

// leaf: the server's certificate. sent: the store holding the intermediates
// the server sent (SChannel's remote certificate keeps them in its own
// store, leaf->hCertStore, which is used when sent is nullptr). hostName: the
// name the server was asked for. bootCorrected: the clock has been corrected
// since this boot, so certificates are held to their dates.
// CERTIFICATE_UNCHECKED when crypt32 or its calls are missing or the chain
// cannot be built at all.
CertificateVerdict checkServerCertificate(PCCERT_CONTEXT leaf, HCERTSTORE sent, const wchar_t* hostName,
                                          bool bootCorrected);

// Lets go of a certificate context that the system handed over (SChannel's
// remote certificate); nothing when crypt32 is missing or certificate is nullptr.
void releaseCertificate(PCCERT_CONTEXT certificate);
