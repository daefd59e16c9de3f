// The program's own key exchange and authenticated NTP against a real
// server: a chronyd started here on loopback ports with a certificate from a
// test CA made here, that never touches the clock. The TLS layer is a
// test-only stand-in on GnuTLS for the Windows one (TLS 1.3, ALPN ntske/1,
// the name checked against the test CA, the keys from the exporter).
// Linux only; chronyd and GnuTLS must be there, or the test fails.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "nts/nts_ke.h"
#include "query/nts_ntp.h"
#include "tests/unit/reference_aes.h"

namespace {

const int64_t UNIX_TO_1900_S = 2208988800LL;

int64_t nowUs1900() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<int64_t>(ts.tv_sec) + UNIX_TO_1900_S) * 1000000 + ts.tv_nsec / 1000;
}

void randomBytes(uint8_t* out, size_t size) {
  std::ifstream random("/dev/urandom", std::ios::binary);
  random.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
  ASSERT_TRUE(random.good());
}

// A loopback port nobody uses right now, of the given socket type.
int freePort(int type) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t size = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
  close(fd);
  return ntohs(a.sin_port);
}

int connectTcp(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  timeval timeout = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The test CA, the server's certificate for localhost and 127.0.0.1, another
// CA that signed nothing, and the chronyd serving with them.
struct Server {
  std::string dir;
  int ntpPort = 0, kePort = 0;
  pid_t pid = -1;
  std::string failure;  // why the server could not be started

  std::string path(const std::string& name) const { return dir + "/" + name; }

  bool makeCertificates() {
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::ofstream(path("server.ext")) << "subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                                         "extendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n";
    return run("openssl req -x509" + ec + " -keyout " + path("ca.key") + " -out " + path("ca.crt") +
               " -days 2 -subj /CN=quorvel-test-ca") &&
           run("openssl req -x509" + ec + " -keyout " + path("other-ca.key") + " -out " + path("other-ca.crt") +
               " -days 2 -subj /CN=quorvel-other-ca") &&
           run("openssl req" + ec + " -keyout " + path("server.key") + " -out " + path("server.csr") +
               " -subj /CN=localhost") &&
           run("openssl x509 -req -in " + path("server.csr") + " -CA " + path("ca.crt") + " -CAkey " +
               path("ca.key") + " -CAcreateserial -days 2 -extfile " + path("server.ext") + " -out " +
               path("server.crt"));
  }

  bool start() {
    char pattern[] = "/tmp/qv-nts-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return fail("no temporary folder");
    dir = pattern;
    if (!run("command -v openssl")) return fail("openssl is missing");
    if (!makeCertificates()) return fail("openssl could not make the test certificates");
    mkdir(path("nts").c_str(), 0700);
    mkdir(path("log").c_str(), 0700);
    ntpPort = freePort(SOCK_DGRAM);
    kePort = freePort(SOCK_STREAM);
    std::ofstream(path("chrony.conf"))
        << "port " << ntpPort << "\nntsport " << kePort << "\nbindaddress 127.0.0.1\ncmdport 0\n"
        << "local stratum 1\nallow 127.0.0.1\nntsprocesses 0\n"
        << "ntsserverkey " << path("server.key") << "\nntsservercert " << path("server.crt") << "\n"
        << "ntsdumpdir " << path("nts") << "\ndriftfile " << path("drift") << "\nlogdir " << path("log")
        << "\npidfile " << path("chronyd.pid") << "\n";

    const std::string chronyd = access("/usr/sbin/chronyd", X_OK) == 0 ? "/usr/sbin/chronyd" : "chronyd";
    if (chronyd == "chronyd" && !run("command -v chronyd")) return fail("chronyd is missing");
    pid = fork();
    if (pid == 0) {
      const int log = open(path("chronyd.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(log, 1);
      dup2(log, 2);
      // -x: never touches the clock; -d: in the foreground, so pid is chronyd's own.
      execlp(chronyd.c_str(), "chronyd", "-x", "-d", "-u", "root", "-f", path("chrony.conf").c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return fail("chronyd ended at once:\n" + readText(path("chronyd.log")));
      }
      const int fd = connectTcp(kePort);
      if (fd >= 0) {
        close(fd);
        return true;
      }
      usleep(50000);
    }
    return fail("chronyd did not listen on its key-exchange port:\n" + readText(path("chronyd.log")));
  }

  bool fail(const std::string& why) {
    failure = why;
    return false;
  }

  void stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      int status = 0;
      for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) != pid; ++i) usleep(50000);
      if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
      }
      pid = -1;
    }
    if (!dir.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  }
};

Server* server = nullptr;

struct KeyExchange {
  bool handshake = false;
  NtsKeReader reader;
  uint8_t clientToServer[NTS_KEY_SIZE] = {};
  uint8_t serverToClient[NTS_KEY_SIZE] = {};
};

// One key exchange over TLS 1.3 to the server's key-exchange port; name is
// what the certificate must show, ca the file it must chain to.
void exchangeKeys(const std::string& name, const std::string& ca, KeyExchange& out) {
  const int fd = connectTcp(server->kePort);
  ASSERT_GE(fd, 0);
  gnutls_certificate_credentials_t credentials;
  ASSERT_EQ(GNUTLS_E_SUCCESS, gnutls_certificate_allocate_credentials(&credentials));
  ASSERT_EQ(1, gnutls_certificate_set_x509_trust_file(credentials, ca.c_str(), GNUTLS_X509_FMT_PEM));
  gnutls_session_t session;
  ASSERT_EQ(GNUTLS_E_SUCCESS, gnutls_init(&session, GNUTLS_CLIENT));
  ASSERT_EQ(GNUTLS_E_SUCCESS, gnutls_priority_set_direct(session, "NORMAL:-VERS-ALL:+VERS-TLS1.3", nullptr));
  gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials);
  gnutls_server_name_set(session, GNUTLS_NAME_DNS, name.c_str(), name.size());
  gnutls_session_set_verify_cert(session, name.c_str(), 0);
  gnutls_datum_t alpn = {reinterpret_cast<unsigned char*>(const_cast<char*>(NTS_KE_ALPN)),
                         static_cast<unsigned>(std::strlen(NTS_KE_ALPN))};
  gnutls_alpn_set_protocols(session, &alpn, 1, GNUTLS_ALPN_MANDATORY);
  gnutls_transport_set_int(session, fd);
  gnutls_handshake_set_timeout(session, 5000);
  int rc;
  do rc = gnutls_handshake(session);
  while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
  out.handshake = rc == GNUTLS_E_SUCCESS;
  if (out.handshake) {
    gnutls_datum_t chosen;
    EXPECT_EQ(GNUTLS_E_SUCCESS, gnutls_alpn_get_selected_protocol(session, &chosen));
    EXPECT_EQ(GNUTLS_TLS1_3, gnutls_protocol_get_version(session));
    uint8_t request[NTS_KE_REQUEST_SIZE];
    packNtsKeRequest(request);
    EXPECT_EQ(NTS_KE_REQUEST_SIZE, gnutls_record_send(session, request, sizeof request));
    uint8_t piece[1024];
    while (out.reader.result() == NTS_KE_MORE) {
      const ssize_t got = gnutls_record_recv(session, piece, sizeof piece);
      if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED) continue;
      if (got <= 0) {
        out.reader.finish();
        break;
      }
      out.reader.feed(piece, static_cast<size_t>(got));
    }
    uint8_t context[NTS_EXPORTER_CONTEXT_SIZE];
    ntsExporterContext(false, context);
    EXPECT_EQ(GNUTLS_E_SUCCESS,
              gnutls_prf_rfc5705(session, std::strlen(NTS_EXPORTER_LABEL), NTS_EXPORTER_LABEL, sizeof context,
                                 reinterpret_cast<const char*>(context), NTS_KEY_SIZE,
                                 reinterpret_cast<char*>(out.clientToServer)));
    ntsExporterContext(true, context);
    EXPECT_EQ(GNUTLS_E_SUCCESS,
              gnutls_prf_rfc5705(session, std::strlen(NTS_EXPORTER_LABEL), NTS_EXPORTER_LABEL, sizeof context,
                                 reinterpret_cast<const char*>(context), NTS_KEY_SIZE,
                                 reinterpret_cast<char*>(out.serverToClient)));
    gnutls_bye(session, GNUTLS_SHUT_WR);
  }
  gnutls_deinit(session);
  gnutls_certificate_free_credentials(credentials);
  close(fd);
}

struct Keys {
  ReferenceAes c2sMac, c2sCtr, s2cMac, s2cCtr;
  AesSiv clientToServer{c2sMac, c2sCtr};
  AesSiv serverToClient{s2cMac, s2cCtr};
  explicit Keys(const KeyExchange& ke) {
    clientToServer.setKey(ke.clientToServer);
    serverToClient.setKey(ke.serverToClient);
  }
};

struct Exchange {
  std::vector<uint8_t> sentCookie;  // the cookie field's body as sent
  std::vector<uint8_t> answer;      // the datagram received, empty when none came
  NtsAnswer checked = {};
  int64_t sentUs = 0, answeredUs = 0;
  NtpTimestamp transmit = 0;
};

// One request to the port the key exchange named, and its answer as the
// program checks it.
void ask(int port, CookieJar& jar, AesSiv& clientToServer, AesSiv& serverToClient, Exchange& x) {
  uint8_t id[NTS_UNIQUE_ID_SIZE], nonce[NTS_NONCE_SIZE], noise[4];
  randomBytes(id, sizeof id);
  randomBytes(nonce, sizeof nonce);
  randomBytes(noise, sizeof noise);
  uint8_t packet[NTS_PACKET_MAX];
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
  x.sentUs = nowUs1900();
  uint32_t n;
  std::memcpy(&n, noise, 4);
  x.transmit = requestStamp(x.sentUs / 1000, n);
  const size_t size = packNtsRequest(x.transmit, id, nonce, jar, clientToServer, packet);
  ASSERT_GT(size, 0u);
  const size_t cookieLength = (packet[NTP_PACKET_SIZE + 36 + 2] << 8) | packet[NTP_PACKET_SIZE + 36 + 3];
  x.sentCookie.assign(packet + NTP_PACKET_SIZE + 40, packet + NTP_PACKET_SIZE + 36 + cookieLength);
  x.sentUs = nowUs1900();
  ASSERT_EQ(static_cast<ssize_t>(size), send(fd, packet, size, 0));
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, 2000) == 1) {
    uint8_t answer[4096];
    const ssize_t got = recv(fd, answer, sizeof answer, 0);
    x.answeredUs = nowUs1900();
    if (got > 0) x.answer.assign(answer, answer + got);
  }
  close(fd);
  x.checked = checkNtsAnswer(x.answer.data(), x.answer.size(), x.transmit, id, serverToClient, jar);
}

class NtsInterop : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    gnutls_global_init();
    server = new Server;
    server->start();
  }
  static void TearDownTestSuite() {
    server->stop();
    delete server;
    server = nullptr;
    gnutls_global_deinit();
  }
  void SetUp() override { ASSERT_TRUE(server->failure.empty()) << server->failure; }
};

TEST_F(NtsInterop, KeyExchangeThenAuthenticatedExchangesGiveTheHostClocksOffset) {
  KeyExchange ke;
  exchangeKeys("localhost", server->path("ca.crt"), ke);
  ASSERT_TRUE(ke.handshake);
  ASSERT_EQ(NTS_KE_DONE, ke.reader.result());
  const NtsKeResponse& r = ke.reader.response();
  EXPECT_EQ(NTS_COOKIES_KEPT, r.cookies.count());
  EXPECT_EQ(0, r.warnings);
  // The server names its own NTP port, not 123; no other host.
  EXPECT_EQ(server->ntpPort, r.port);
  EXPECT_STREQ("", r.server);
  const int port = r.port != 0 ? r.port : NTP_PORT;

  Keys keys(ke);
  CookieJar jar = r.cookies;
  std::vector<std::vector<uint8_t>> cookiesSent;
  OffsetBounds narrowest = {INT64_MIN / 2, INT64_MAX / 2};
  for (int i = 0; i < 8; ++i) {
    Exchange x;
    ask(port, jar, keys.clientToServer, keys.serverToClient, x);
    ASSERT_FALSE(x.answer.empty()) << "no answer to request " << i;
    ASSERT_EQ(NTS_ANSWER_USE, x.checked.result) << "request " << i;
    EXPECT_EQ(1, x.checked.newCookies);
    EXPECT_EQ(NTS_COOKIES_KEPT, jar.count()) << "the answer's cookie refills the jar";
    for (const auto& earlier : cookiesSent) EXPECT_NE(earlier, x.sentCookie) << "a cookie went out twice";
    cookiesSent.push_back(x.sentCookie);
    const OffsetBounds b = ntpSampleBoundsUs(x.checked.ntp, x.sentUs, x.answeredUs, 0);
    ASSERT_TRUE(boundsHold(b));
    const int64_t offset = boundsMidpoint(b);
    std::printf("nts interop: exchange %d offset %+lld us, bounds [%+lld, %+lld) us, answer %zu bytes\n", i,
                static_cast<long long>(offset), static_cast<long long>(b.low), static_cast<long long>(b.high),
                x.answer.size());
    // chronyd serves this very host's clock: every exchange's bounds hold
    // zero, however long this busy machine made the round trip.
    EXPECT_LE(b.low, 0);
    EXPECT_GE(b.high, 0);
    if (b.high - b.low < narrowest.high - narrowest.low) narrowest = b;

    // The same answer with one byte changed is not authentic and gives nothing.
    std::vector<uint8_t> changed = x.answer;
    changed[changed.size() - 20] ^= 0x10;
    CookieJar spare;
    const uint8_t* id = x.answer.data() + NTP_PACKET_SIZE + 4;
    EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC,
              checkNtsAnswer(changed.data(), changed.size(), x.transmit, id, keys.serverToClient, spare).result);
    EXPECT_EQ(0, spare.count());
    changed = x.answer;
    changed[40] ^= 0x01;  // the server's transmit stamp
    EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC,
              checkNtsAnswer(changed.data(), changed.size(), x.transmit, id, keys.serverToClient, spare).result);
  }
  // The shortest round trip says it to a millisecond, as a client picks it.
  const int64_t best = boundsMidpoint(narrowest);
  std::printf("nts interop: narrowest exchange offset %+lld us, round trip under %lld us\n",
              static_cast<long long>(best), static_cast<long long>(narrowest.high - narrowest.low));
  EXPECT_LE(std::llabs(best), 1000);
}

TEST_F(NtsInterop, AnswersDoNotVerifyUnderTheOtherDirectionsKey) {
  KeyExchange ke;
  exchangeKeys("localhost", server->path("ca.crt"), ke);
  ASSERT_EQ(NTS_KE_DONE, ke.reader.result());
  Keys keys(ke);
  CookieJar jar = ke.reader.response().cookies;
  Exchange x;
  ask(ke.reader.response().port, jar, keys.clientToServer, keys.clientToServer, x);
  ASSERT_FALSE(x.answer.empty());
  EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, x.checked.result);
}

TEST_F(NtsInterop, AnAlteredCookieIsAnsweredWithTheNak) {
  KeyExchange ke;
  exchangeKeys("localhost", server->path("ca.crt"), ke);
  ASSERT_EQ(NTS_KE_DONE, ke.reader.result());
  Keys keys(ke);
  CookieJar original = ke.reader.response().cookies;
  uint8_t cookie[NTS_COOKIE_MAX];
  size_t size = 0;
  ASSERT_TRUE(original.take(cookie, size));
  cookie[size / 2] ^= 0x01;
  CookieJar jar;
  jar.add(cookie, size);
  Exchange x;
  ask(ke.reader.response().port, jar, keys.clientToServer, keys.serverToClient, x);
  ASSERT_FALSE(x.answer.empty()) << "chronyd sent nothing back";
  EXPECT_EQ(NTS_ANSWER_NAK, x.checked.result);
  EXPECT_EQ(0, x.checked.newCookies);
}

TEST_F(NtsInterop, TheWrongCaOrTheWrongNameFailsTheHandshake) {
  KeyExchange otherCa;
  exchangeKeys("localhost", server->path("other-ca.crt"), otherCa);
  EXPECT_FALSE(otherCa.handshake);
  KeyExchange otherName;
  exchangeKeys("time.wrong.test", server->path("ca.crt"), otherName);
  EXPECT_FALSE(otherName.handshake);
  // The address in the certificate is a name that passes.
  KeyExchange byAddress;
  exchangeKeys("127.0.0.1", server->path("ca.crt"), byAddress);
  EXPECT_TRUE(byAddress.handshake);
  EXPECT_EQ(NTS_KE_DONE, byAddress.reader.result());
}

}  // namespace
