// SChannel driven as a byte-in, byte-out TLS 1.3 client: secur32 from
// System32 through its function table, the newer credential structure that
// can name TLS 1.3 alone, ALPN and the key exporter.
#include "nts/tls_win.h"

#include <wincrypt.h>
// The newer credential structure (SCH_CREDENTIALS) comes with this switch,
// and wants UNICODE_STRING declared first.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>

#include <cstring>
#include <cwchar>

#include "nts/certificate_win.h"
#include "nts/system_dll_win.h"

namespace {

const char EXPORTER_LABEL[] = "EXPORTER-network-time-security";
const char ALPN_PROTOCOL[] = "ntske/1";

// No client certificate is ever offered: the key-establishment server asks for none.
const ULONG REQUEST = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                      ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_USE_SUPPLIED_CREDS |
                      ISC_REQ_MANUAL_CRED_VALIDATION;

PSecurityFunctionTableW sspiTable() {
  static const PSecurityFunctionTableW table = [] {
    const auto init = systemCall<INIT_SECURITY_INTERFACE_W>(systemDll(L"secur32.dll"), "InitSecurityInterfaceW");
    const PSecurityFunctionTableW found = init != nullptr ? init() : nullptr;
    // SetContextAttributesW is looked at only when needed (see setExporter).
    if (found == nullptr || found->AcquireCredentialsHandleW == nullptr ||
        found->InitializeSecurityContextW == nullptr || found->QueryContextAttributesW == nullptr ||
        found->DecryptMessage == nullptr || found->EncryptMessage == nullptr ||
        found->ApplyControlToken == nullptr || found->DeleteSecurityContext == nullptr ||
        found->FreeCredentialsHandle == nullptr || found->FreeContextBuffer == nullptr)
      return PSecurityFunctionTableW(nullptr);
    return found;
  }();
  return table;
}

unsigned long bufferType(const SecBuffer& buffer) { return buffer.BufferType & ~SECBUFFER_ATTRMASK; }

SecBuffer secBuffer(unsigned long type, void* bytes, size_t size) {
  SecBuffer buffer;
  buffer.cbBuffer = static_cast<unsigned long>(size);
  buffer.BufferType = type;
  buffer.pvBuffer = bytes;
  return buffer;
}

SecBufferDesc secBuffers(SecBuffer* buffers, unsigned long count) {
  SecBufferDesc desc;
  desc.ulVersion = SECBUFFER_VERSION;
  desc.cBuffers = count;
  desc.pBuffers = buffers;
  return desc;
}

// What a call left unread of the input (SECBUFFER_EXTRA, at its end) stays
// for the next call; the rest is taken.
template <size_t N>
void keepUnread(ByteQueue<N>& input, const SecBuffer& extra) {
  if (bufferType(extra) == SECBUFFER_EXTRA && extra.cbBuffer > 0)
    input.keepLast(extra.cbBuffer);
  else
    input.clear();
}

// The handshake's own failures: a server or a system without TLS 1.3 both
// end in a protocol or algorithm mismatch.
TlsOutcome handshakeFailure(SECURITY_STATUS status, CertificateVerdict& certificate) {
  switch (status) {
    case SEC_E_ALGORITHM_MISMATCH:
    case SEC_E_UNSUPPORTED_FUNCTION:
      return TLS_NO_TLS13;
    // Left to this program's own check; should SChannel judge anyway, say what it found.
    case SEC_E_WRONG_PRINCIPAL:
      certificate = CERTIFICATE_WRONG_NAME;
      return TLS_BAD_CERTIFICATE;
    case SEC_E_UNTRUSTED_ROOT:
      certificate = CERTIFICATE_UNTRUSTED;
      return TLS_BAD_CERTIFICATE;
    case SEC_E_CERT_EXPIRED:
      certificate = CERTIFICATE_EXPIRED;
      return TLS_BAD_CERTIFICATE;
    default:
      return TLS_PROTOCOL_ERROR;
  }
}

}  // namespace

TlsClient::~TlsClient() {
  if (haveSession_) sspi_->DeleteSecurityContext(&session_);
  if (haveCredentials_) sspi_->FreeCredentialsHandle(&credentials_);
  SecureZeroMemory(exported_, sizeof exported_);
}

TlsOutcome TlsClient::fail(TlsOutcome outcome) {
  outcome_ = outcome;
  input_.clear();
  output_.clear();
  plain_.clear();
  SecureZeroMemory(exported_, sizeof exported_);
  return outcome;
}

bool TlsClient::queueTokens(SecBuffer* buffers, int count) {
  bool fitted = true;
  for (int i = 0; i < count; ++i) {
    SecBuffer& buffer = buffers[i];
    if (buffer.pvBuffer == nullptr) continue;
    if (bufferType(buffer) == SECBUFFER_TOKEN && buffer.cbBuffer > 0)
      fitted = output_.append(static_cast<const uint8_t*>(buffer.pvBuffer), buffer.cbBuffer) && fitted;
    sspi_->FreeContextBuffer(buffer.pvBuffer);
    buffer.pvBuffer = nullptr;
  }
  return fitted;
}

TlsOutcome TlsClient::start(const wchar_t* hostName, const uint8_t* exporterContext, size_t contextSize,
                            bool bootCorrected) {
  if (started_) return outcome_;
  started_ = true;
  const size_t length = hostName != nullptr ? std::wcslen(hostName) : 0;
  if (length == 0 || length >= sizeof host_ / sizeof host_[0] || contextSize > sizeof exportContext_ ||
      (contextSize > 0 && exporterContext == nullptr))
    return fail(TLS_PROTOCOL_ERROR);
  std::wmemcpy(host_, hostName, length + 1);
  if (contextSize > 0) std::memcpy(exportContext_, exporterContext, contextSize);
  contextSize_ = contextSize;
  bootCorrected_ = bootCorrected;

  sspi_ = sspiTable();
  if (sspi_ == nullptr) return fail(TLS_NO_TLS13);

  // TLS 1.3 alone, by disabling everything else; the server's certificate is
  // left to checkServerCertificate, with its rule on dates.
  TLS_PARAMETERS onlyTls13 = {};
  onlyTls13.grbitDisabledProtocols = static_cast<DWORD>(~SP_PROT_TLS1_3_CLIENT);
  SCH_CREDENTIALS wanted = {};
  wanted.dwVersion = SCH_CREDENTIALS_VERSION;
  wanted.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  wanted.cTlsParameters = 1;
  wanted.pTlsParameters = &onlyTls13;
  wchar_t package[] = UNISP_NAME_W;
  TimeStamp expiry;
  // Systems before the newer structure, or without TLS 1.3, refuse it here.
  if (sspi_->AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &wanted, nullptr,
                                       nullptr, &credentials_, &expiry) != SEC_E_OK)
    return fail(TLS_NO_TLS13);
  haveCredentials_ = true;

  uint8_t alpn[32];
  const size_t alpnSize = packAlpnOffer(ALPN_PROTOCOL, alpn, sizeof alpn);
  SecBuffer in[1] = {secBuffer(SECBUFFER_APPLICATION_PROTOCOLS, alpn, alpnSize)};
  SecBufferDesc inDesc = secBuffers(in, 1);
  SecBuffer out[1] = {secBuffer(SECBUFFER_TOKEN, nullptr, 0)};
  SecBufferDesc outDesc = secBuffers(out, 1);
  ULONG granted = 0;
  const SECURITY_STATUS first = sspi_->InitializeSecurityContextW(
      &credentials_, nullptr, host_, REQUEST, 0, 0, &inDesc, 0, &session_, &outDesc, &granted, &expiry);
  // Nothing came from the server yet: a refusal here is this system's own.
  if (first != SEC_I_CONTINUE_NEEDED) {
    queueTokens(out, 1);
    haveSession_ = first >= 0;
    return fail(TLS_NO_TLS13);
  }
  haveSession_ = true;
  if (!queueTokens(out, 1)) return fail(TLS_PROTOCOL_ERROR);
  return outcome_;
}

bool TlsClient::exporterAvailable() const {
  // The call is in the function table from its second version on. Wine's
  // table says version 1 and has an entry there that crashes.
  return sspi_ != nullptr && sspi_->dwVersion >= SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION_2 &&
         sspi_->SetContextAttributesW != nullptr;
}

bool TlsClient::setExporter() {
  if (!exporterAvailable()) return false;
  char label[sizeof EXPORTER_LABEL];
  std::memcpy(label, EXPORTER_LABEL, sizeof label);
  SecPkgContext_KeyingMaterialInfo exporter = {};
  exporter.cbLabel = static_cast<WORD>(sizeof label);
  exporter.pszLabel = label;
  exporter.cbContextValue = static_cast<WORD>(contextSize_);
  exporter.pbContextValue = contextSize_ > 0 ? exportContext_ : nullptr;
  exporter.cbKeyingMaterial = TLS_EXPORT_SIZE;
  // Systems without key export refuse it.
  return sspi_->SetContextAttributesW(&session_, SECPKG_ATTR_KEYING_MATERIAL_INFO, &exporter, sizeof exporter) ==
         SEC_E_OK;
}

TlsOutcome TlsClient::received(const uint8_t* bytes, size_t size) {
  if (!started_) return fail(TLS_PROTOCOL_ERROR);
  if (outcome_ != TLS_HANDSHAKING && outcome_ != TLS_READY) return outcome_;
  // The exporter must be asked for before the handshake ends: at the latest
  // just before the server's first flight goes in.
  if (!exporterSet_) {
    if (!setExporter()) return fail(TLS_NO_TLS13);
    exporterSet_ = true;
  }
  if (!input_.append(bytes, size)) return fail(TLS_PROTOCOL_ERROR);
  return outcome_ == TLS_HANDSHAKING ? handshake() : decrypt();
}

TlsOutcome TlsClient::connectionClosed() {
  if (outcome_ == TLS_HANDSHAKING) return fail(TLS_CONNECTION_FAILED);
  if (outcome_ == TLS_READY) outcome_ = TLS_CLOSED;
  return outcome_;
}

TlsOutcome TlsClient::handshake() {
  // A request for a client certificate is answered by going on without one,
  // once; a second in a row is no handshake that ends.
  int withoutCertificate = 0;
  while (input_.size() > 0) {
    SecBuffer in[2] = {secBuffer(SECBUFFER_TOKEN, input_.data(), input_.size()),
                       secBuffer(SECBUFFER_EMPTY, nullptr, 0)};
    SecBufferDesc inDesc = secBuffers(in, 2);
    SecBuffer out[2] = {secBuffer(SECBUFFER_TOKEN, nullptr, 0), secBuffer(SECBUFFER_ALERT, nullptr, 0)};
    SecBufferDesc outDesc = secBuffers(out, 2);
    ULONG granted = 0;
    TimeStamp expiry;
    const SECURITY_STATUS status = sspi_->InitializeSecurityContextW(
        &credentials_, &session_, host_, REQUEST, 0, 0, &inDesc, 0, nullptr, &outDesc, &granted, &expiry);
    const bool fitted = queueTokens(out, 2);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return outcome_;
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
      if (++withoutCertificate > 1) return fail(TLS_PROTOCOL_ERROR);
      continue;  // the same input again
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      if (status < 0) return fail(handshakeFailure(status, certificate_));
      return fail(TLS_PROTOCOL_ERROR);
    }
    if (!fitted) return fail(TLS_PROTOCOL_ERROR);
    withoutCertificate = 0;
    keepUnread(input_, in[1]);
    if (status == SEC_E_OK) return finishHandshake();
  }
  return outcome_;
}

TlsOutcome TlsClient::finishHandshake() {
  SecPkgContext_ConnectionInfo connection = {};
  if (sspi_->QueryContextAttributesW(&session_, SECPKG_ATTR_CONNECTION_INFO, &connection) != SEC_E_OK)
    return fail(TLS_PROTOCOL_ERROR);
  if ((connection.dwProtocol & SP_PROT_TLS1_3_CLIENT) == 0) return fail(TLS_NO_TLS13);

  PCCERT_CONTEXT remote = nullptr;
  if (sspi_->QueryContextAttributesW(&session_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote) != SEC_E_OK ||
      remote == nullptr) {
    certificate_ = CERTIFICATE_REJECTED;
    return fail(TLS_BAD_CERTIFICATE);
  }
  certificate_ = checkServerCertificate(remote, remote->hCertStore, host_, bootCorrected_);
  releaseCertificate(remote);
  if (certificate_ == CERTIFICATE_UNCHECKED) return fail(TLS_NO_TLS13);
  if (!certificateAccepted(certificate_)) return fail(TLS_BAD_CERTIFICATE);

  // A key-establishment server must choose "ntske/1"; one that chose nothing speaks something else.
  SecPkgContext_ApplicationProtocol chosen = {};
  if (sspi_->QueryContextAttributesW(&session_, SECPKG_ATTR_APPLICATION_PROTOCOL, &chosen) != SEC_E_OK ||
      chosen.ProtoNegoStatus != SecApplicationProtocolNegotiationStatus_Success ||
      chosen.ProtoNegoExt != SecApplicationProtocolNegotiationExt_ALPN ||
      chosen.ProtocolIdSize != sizeof ALPN_PROTOCOL - 1 ||
      std::memcmp(chosen.ProtocolId, ALPN_PROTOCOL, sizeof ALPN_PROTOCOL - 1) != 0)
    return fail(TLS_PROTOCOL_ERROR);

  SecPkgContext_KeyingMaterial material = {};
  const bool exported =
      sspi_->QueryContextAttributesW(&session_, SECPKG_ATTR_KEYING_MATERIAL, &material) == SEC_E_OK &&
      material.pbKeyingMaterial != nullptr && material.cbKeyingMaterial == TLS_EXPORT_SIZE;
  if (exported) std::memcpy(exported_, material.pbKeyingMaterial, TLS_EXPORT_SIZE);
  if (material.pbKeyingMaterial != nullptr) {
    SecureZeroMemory(material.pbKeyingMaterial, material.cbKeyingMaterial);
    sspi_->FreeContextBuffer(material.pbKeyingMaterial);
  }
  if (!exported) return fail(TLS_NO_TLS13);

  if (sspi_->QueryContextAttributesW(&session_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK)
    return fail(TLS_PROTOCOL_ERROR);
  outcome_ = TLS_READY;
  // The server's first application data may have come with its last flight.
  return input_.size() > 0 ? decrypt() : outcome_;
}

TlsOutcome TlsClient::decrypt() {
  while (input_.size() > 0 && outcome_ == TLS_READY) {
    SecBuffer buffers[4] = {secBuffer(SECBUFFER_DATA, input_.data(), input_.size()),
                            secBuffer(SECBUFFER_EMPTY, nullptr, 0), secBuffer(SECBUFFER_EMPTY, nullptr, 0),
                            secBuffer(SECBUFFER_EMPTY, nullptr, 0)};
    SecBufferDesc desc = secBuffers(buffers, 4);
    const SECURITY_STATUS status = sspi_->DecryptMessage(&session_, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return outcome_;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED)
      return fail(TLS_PROTOCOL_ERROR);
    // Decrypted in place: the data lies inside input_, the leftover at its end.
    size_t extra = 0;
    for (const SecBuffer& buffer : buffers) {
      if (bufferType(buffer) == SECBUFFER_DATA && buffer.cbBuffer > 0 &&
          !plain_.append(static_cast<const uint8_t*>(buffer.pvBuffer), buffer.cbBuffer))
        return fail(TLS_PROTOCOL_ERROR);
      if (bufferType(buffer) == SECBUFFER_EXTRA) extra = buffer.cbBuffer;
    }
    if (extra > 0)
      input_.keepLast(extra);
    else
      input_.clear();
    if (status == SEC_I_CONTEXT_EXPIRED) {  // the server's close notification
      input_.clear();
      outcome_ = TLS_CLOSED;
      return outcome_;
    }
    if (status == SEC_I_RENEGOTIATE) {
      // A post-handshake message (a session ticket, a key update): SChannel
      // takes it, with what follows, through the handshake call.
      SecBuffer in[2] = {input_.size() > 0 ? secBuffer(SECBUFFER_TOKEN, input_.data(), input_.size())
                                           : secBuffer(SECBUFFER_EMPTY, nullptr, 0),
                         secBuffer(SECBUFFER_EMPTY, nullptr, 0)};
      SecBufferDesc inDesc = secBuffers(in, 2);
      SecBuffer out[1] = {secBuffer(SECBUFFER_TOKEN, nullptr, 0)};
      SecBufferDesc outDesc = secBuffers(out, 1);
      ULONG granted = 0;
      TimeStamp expiry;
      const SECURITY_STATUS again = sspi_->InitializeSecurityContextW(
          &credentials_, &session_, host_, REQUEST, 0, 0, &inDesc, 0, nullptr, &outDesc, &granted, &expiry);
      if (!queueTokens(out, 1) || (again != SEC_E_OK && again != SEC_I_CONTINUE_NEEDED))
        return fail(TLS_PROTOCOL_ERROR);
      keepUnread(input_, in[1]);
    }
  }
  return outcome_;
}

bool TlsClient::send(const uint8_t* bytes, size_t size) {
  if (outcome_ != TLS_READY || size == 0 || size > sizes_.cbMaximumMessage) return false;
  const size_t header = sizes_.cbHeader, trailer = sizes_.cbTrailer;
  if (header + size + trailer > output_.room()) return false;
  uint8_t* record = output_.end();
  std::memcpy(record + header, bytes, size);
  SecBuffer buffers[4] = {secBuffer(SECBUFFER_STREAM_HEADER, record, header),
                          secBuffer(SECBUFFER_DATA, record + header, size),
                          secBuffer(SECBUFFER_STREAM_TRAILER, record + header + size, trailer),
                          secBuffer(SECBUFFER_EMPTY, nullptr, 0)};
  SecBufferDesc desc = secBuffers(buffers, 4);
  if (sspi_->EncryptMessage(&session_, 0, &desc, 0) != SEC_E_OK) return false;
  // The trailer may come out shorter than its room.
  output_.grew(size_t(buffers[0].cbBuffer) + buffers[1].cbBuffer + buffers[2].cbBuffer);
  return true;
}

bool TlsClient::shutdown() {
  if (outcome_ != TLS_READY) return false;
  DWORD kind = SCHANNEL_SHUTDOWN;
  SecBuffer token[1] = {secBuffer(SECBUFFER_TOKEN, &kind, sizeof kind)};
  SecBufferDesc tokenDesc = secBuffers(token, 1);
  if (sspi_->ApplyControlToken(&session_, &tokenDesc) != SEC_E_OK) return false;
  SecBuffer out[1] = {secBuffer(SECBUFFER_TOKEN, nullptr, 0)};
  SecBufferDesc outDesc = secBuffers(out, 1);
  ULONG granted = 0;
  TimeStamp expiry;
  const SECURITY_STATUS status = sspi_->InitializeSecurityContextW(
      &credentials_, &session_, host_, REQUEST, 0, 0, nullptr, 0, nullptr, &outDesc, &granted, &expiry);
  const bool queued = queueTokens(out, 1);
  outcome_ = TLS_CLOSED;
  return queued && status >= 0;
}
