// Key-exchange records: a 16-bit type (its top bit "critical"), a 16-bit
// body length and the body, big-endian, until End of Message.
#include "nts/nts_ke.h"

#include "timebase/byte_order.h"

static const size_t ID_LIST_MAX = 32;  // protocol and algorithm lists

void packNtsKeRequest(uint8_t request[NTS_KE_REQUEST_SIZE]) {
  // Both negotiations are critical: a server that cannot read them must not
  // answer as if it had.
  putBigEndian(request + 0, NTS_RECORD_CRITICAL | NTS_RECORD_NEXT_PROTOCOL, 2);
  putBigEndian(request + 2, 2, 2);
  putBigEndian(request + 4, NTS_PROTOCOL_NTPV4, 2);
  putBigEndian(request + 6, NTS_RECORD_CRITICAL | NTS_RECORD_AEAD, 2);
  putBigEndian(request + 8, 2, 2);
  putBigEndian(request + 10, NTS_AEAD_AES_SIV_CMAC_256, 2);
  putBigEndian(request + 12, NTS_RECORD_CRITICAL | NTS_RECORD_END, 2);
  putBigEndian(request + 14, 0, 2);
}

void ntsExporterContext(bool serverToClient, uint8_t context[NTS_EXPORTER_CONTEXT_SIZE]) {
  putBigEndian(context, NTS_PROTOCOL_NTPV4, 2);
  putBigEndian(context + 2, NTS_AEAD_AES_SIV_CMAC_256, 2);
  context[4] = serverToClient ? 1 : 0;
}

NtsKeReader::NtsKeReader()
    : result_(NTS_KE_MORE), response_(), total_(0), header_(), headerHave_(0), type_(0), critical_(false),
      bodySize_(0), bodyHave_(0), keepBody_(false), body_(), sawProtocol_(false), sawAead_(false),
      sawServer_(false), sawPort_(false) {}

NtsKeResult NtsKeReader::feed(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size && result_ == NTS_KE_MORE; ++i) {
    if (++total_ > NTS_KE_RESPONSE_MAX) {
      result_ = NTS_KE_OVERSIZED;
      break;
    }
    if (headerHave_ < 4) {
      header_[headerHave_++] = data[i];
      if (headerHave_ == 4) result_ = startBody();
    } else {
      if (keepBody_) body_[bodyHave_] = data[i];
      ++bodyHave_;
    }
    if (result_ == NTS_KE_MORE && headerHave_ == 4 && bodyHave_ == bodySize_) result_ = endRecord();
  }
  return result_;
}

NtsKeResult NtsKeReader::finish() {
  if (result_ == NTS_KE_MORE) result_ = NTS_KE_TRUNCATED;
  return result_;
}

// The header is in: whether the body is one we read, and whether its size
// is one the record can have.
NtsKeResult NtsKeReader::startBody() {
  critical_ = (header_[0] & 0x80) != 0;
  type_ = static_cast<uint16_t>(getBigEndian(header_, 2) & ~NTS_RECORD_CRITICAL);
  bodySize_ = getBigEndian(header_ + 2, 2);
  bodyHave_ = 0;
  keepBody_ = true;
  switch (type_) {
    case NTS_RECORD_END:
      return bodySize_ == 0 ? NTS_KE_MORE : NTS_KE_MALFORMED;
    case NTS_RECORD_NEXT_PROTOCOL:
    case NTS_RECORD_AEAD:
      if (bodySize_ > ID_LIST_MAX) return NTS_KE_OVERSIZED;
      return bodySize_ % 2 == 0 ? NTS_KE_MORE : NTS_KE_MALFORMED;
    case NTS_RECORD_ERROR:
    case NTS_RECORD_WARNING:
    case NTS_RECORD_PORT:
      return bodySize_ == 2 ? NTS_KE_MORE : NTS_KE_MALFORMED;
    case NTS_RECORD_NEW_COOKIE:
      if (bodySize_ > static_cast<size_t>(NTS_COOKIE_MAX)) return NTS_KE_OVERSIZED;
      return bodySize_ > 0 ? NTS_KE_MORE : NTS_KE_MALFORMED;
    case NTS_RECORD_SERVER:
      if (bodySize_ > static_cast<size_t>(NTS_SERVER_NAME_MAX)) return NTS_KE_OVERSIZED;
      return bodySize_ > 0 ? NTS_KE_MORE : NTS_KE_MALFORMED;
    default:
      // A record we do not know may be passed over, unless it is critical.
      keepBody_ = false;
      return critical_ ? NTS_KE_UNKNOWN_CRITICAL : NTS_KE_MORE;
  }
}

NtsKeResult NtsKeReader::endRecord() {
  headerHave_ = 0;
  switch (type_) {
    case NTS_RECORD_END:
      return endMessage();
    case NTS_RECORD_NEXT_PROTOCOL:
      if (sawProtocol_) return NTS_KE_MALFORMED;
      sawProtocol_ = true;
      // The server names what it chose of what we offered: NTPv4 alone.
      if (bodySize_ != 2) return bodySize_ == 0 ? NTS_KE_NO_PROTOCOL : NTS_KE_MALFORMED;
      return getBigEndian(body_, 2) == NTS_PROTOCOL_NTPV4 ? NTS_KE_MORE : NTS_KE_NO_PROTOCOL;
    case NTS_RECORD_AEAD:
      if (sawAead_) return NTS_KE_MALFORMED;
      sawAead_ = true;
      if (bodySize_ != 2) return bodySize_ == 0 ? NTS_KE_NO_AEAD : NTS_KE_MALFORMED;
      return getBigEndian(body_, 2) == NTS_AEAD_AES_SIV_CMAC_256 ? NTS_KE_MORE : NTS_KE_NO_AEAD;
    case NTS_RECORD_ERROR:
      response_.errorCode = static_cast<uint16_t>(getBigEndian(body_, 2));
      return NTS_KE_REFUSED;
    case NTS_RECORD_WARNING:
      ++response_.warnings;
      response_.lastWarning = static_cast<uint16_t>(getBigEndian(body_, 2));
      return NTS_KE_MORE;
    case NTS_RECORD_NEW_COOKIE:
      ++response_.cookiesOffered;
      response_.cookies.add(body_, bodySize_);
      return NTS_KE_MORE;
    case NTS_RECORD_SERVER:
      if (sawServer_) return NTS_KE_MALFORMED;
      sawServer_ = true;
      for (size_t i = 0; i < bodySize_; ++i) {
        // A host name or address in printable ASCII, nothing that could end
        // or escape a string early.
        if (body_[i] <= 0x20 || body_[i] >= 0x7F) return NTS_KE_MALFORMED;
        response_.server[i] = static_cast<char>(body_[i]);
      }
      response_.server[bodySize_] = '\0';
      return NTS_KE_MORE;
    case NTS_RECORD_PORT:
      if (sawPort_) return NTS_KE_MALFORMED;
      sawPort_ = true;
      response_.port = static_cast<uint16_t>(getBigEndian(body_, 2));
      return response_.port != 0 ? NTS_KE_MORE : NTS_KE_MALFORMED;
    default:
      return NTS_KE_MORE;
  }
}

NtsKeResult NtsKeReader::endMessage() const {
  if (!sawProtocol_) return NTS_KE_NO_PROTOCOL;
  if (!sawAead_) return NTS_KE_NO_AEAD;
  if (response_.cookies.count() == 0) return NTS_KE_NO_COOKIE;
  return NTS_KE_DONE;
}
