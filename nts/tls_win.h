// A TLS 1.3 client session for key establishment over the system's TLS
// (SChannel), as a state machine that never blocks: the caller feeds it what
// a non-blocking socket received and sends what it produced. It offers ALPN
// "ntske/1", names the server (SNI), checks the server's certificate itself
// (checkServerCertificate) and exports the keying material that NTP
// authentication is keyed from.
#pragma once
#include <windows.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <sspi.h>

#include <cstddef>
#include <cstdint>

#include "nts/certificate_rule.h"
#include "nts/tls_bytes.h"

enum TlsOutcome {
  TLS_HANDSHAKING,        // send pendingOutput(), feed what arrives
  TLS_READY,              // handshake done and checked: application data flows
  TLS_CLOSED,             // the session ended after it was ready
  TLS_NO_TLS13,           // this system's TLS offers no TLS 1.3 with key export (or lacks a DLL)
  TLS_BAD_CERTIFICATE,    // certificate() says why
  TLS_CONNECTION_FAILED,  // the connection ended before the handshake did
  TLS_PROTOCOL_ERROR,     // the server broke TLS, refused "ntske/1", or sent too much
};

const int TLS_EXPORT_SIZE = 32;
const int TLS_MAX_EXPORT_CONTEXT = 64;

class TlsClient {
 public:
  TlsClient() = default;
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // Begins the handshake with hostName (also the name the certificate must
  // carry); its first flight is then in pendingOutput(). The exporter uses
  // the label "EXPORTER-network-time-security" and the given context bytes.
  // bootCorrected: the clock has been corrected since this boot (see
  // judgeCertificate). Once only.
  TlsOutcome start(const wchar_t* hostName, const uint8_t* exporterContext, size_t contextSize,
                   bool bootCorrected);
  // What the socket received; handshake records, then application data.
  // TLS_NO_TLS13 can still come from the first of these: the exporter is
  // asked for just before the server's first flight goes in.
  TlsOutcome received(const uint8_t* bytes, size_t size);
  // The socket closed or failed (FD_CLOSE, an error on FD_READ/FD_WRITE).
  TlsOutcome connectionClosed();
  // Encrypts application data into pendingOutput(); false unless ready, or
  // when it is larger than one record or the output is full.
  bool send(const uint8_t* bytes, size_t size);
  // Puts the close notification into pendingOutput() (once ready).
  bool shutdown();

  // Whether this system's TLS has the call that sets up key export at all
  // (known once started). Where it has not, the session can only end in
  // TLS_NO_TLS13 once the server answers: a caller need not wait for that.
  bool exporterAvailable() const;

  TlsOutcome outcome() const { return outcome_; }
  CertificateVerdict certificate() const { return certificate_; }

  // Bytes to write to the socket; consumed() says how many it took.
  const uint8_t* pendingOutput() const { return output_.data(); }
  size_t pendingSize() const { return output_.size(); }
  void consumed(size_t count) { output_.drop(count); }

  // Decrypted application data so far; takePlain() says how much was used.
  const uint8_t* plain() const { return plain_.data(); }
  size_t plainSize() const { return plain_.size(); }
  void takePlain(size_t count) { plain_.drop(count); }

  // Once ready: the TLS_EXPORT_SIZE bytes exported for the given context.
  const uint8_t* exported() const { return exported_; }

 private:
  TlsOutcome fail(TlsOutcome outcome);
  bool setExporter();
  TlsOutcome handshake();
  TlsOutcome finishHandshake();
  TlsOutcome decrypt();
  bool queueTokens(SecBuffer* buffers, int count);

  PSecurityFunctionTableW sspi_ = nullptr;
  CredHandle credentials_ = {};
  CtxtHandle session_ = {};
  bool haveCredentials_ = false;
  bool haveSession_ = false;
  SecPkgContext_StreamSizes sizes_ = {};
  TlsOutcome outcome_ = TLS_HANDSHAKING;
  CertificateVerdict certificate_ = CERTIFICATE_UNCHECKED;
  bool started_ = false;
  bool exporterSet_ = false;
  bool bootCorrected_ = false;
  wchar_t host_[256] = {};
  uint8_t exportContext_[TLS_MAX_EXPORT_CONTEXT] = {};
  size_t contextSize_ = 0;
  uint8_t exported_[TLS_EXPORT_SIZE] = {};
  // A whole TLS record (16 KB and its overhead) with room for the next one starting.
  ByteQueue<40000> input_;
  ByteQueue<40000> output_;
  ByteQueue<16384> plain_;
};
