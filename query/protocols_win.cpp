// The protocols a query speaks: each one's exchange handed to the steps all
// queries share, which know an exchange only by its interface.
#include "query/exchange_win.h"
#include "query/query.h"
#include "query/server_address.h"

void plugInProtocols() {
  useExchange(PROTOCOL_TIME, &timeProtocolExchange());
  useExchange(PROTOCOL_NTP, &ntpExchange());
  useExchange(PROTOCOL_NTS, &ntsExchange());
}
