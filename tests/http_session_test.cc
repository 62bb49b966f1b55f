// Sessions to the backup server: what the factory accepts, what a session
// keeps, and the process's connection settings.

#include "host/services/http_session.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/services/websocket_options.h"

namespace {

TEST(HTTPSessionFactory, SessionKeepsWhereAndHowItConnects) {
  std::unique_ptr<HTTP_Session> s(
      HTTP_Session_Factory::create("backup.example", 8443, true, nullptr, 3, nullptr, false, 120, 90, 0, 65536));
  ASSERT_NE(nullptr, s);
  EXPECT_EQ("backup.example", s->host());
  EXPECT_EQ(8443, s->port());
  EXPECT_TRUE(s->ssl());
  EXPECT_EQ("", s->certificate_file());
  EXPECT_EQ(3, s->connect_attempts());
  EXPECT_EQ("", s->local_address());
  EXPECT_FALSE(s->keep_alive());
  EXPECT_EQ(120, s->connect_timeout_seconds());
  EXPECT_EQ(90, s->io_timeout_seconds());
  EXPECT_EQ(0, s->send_buffer_size());
  EXPECT_EQ(65536, s->receive_buffer_size());

  std::unique_ptr<HTTP_Session> bound(
      HTTP_Session_Factory::create("10.0.0.1", 80, false, "/etc/ca.pem", 1, "10.0.0.9", true, 1, 1, 0, 0));
  ASSERT_NE(nullptr, bound);
  EXPECT_EQ("/etc/ca.pem", bound->certificate_file());
  EXPECT_EQ("10.0.0.9", bound->local_address());
  EXPECT_TRUE(bound->keep_alive());
}

TEST(HTTPSessionFactory, SettingsThatCannotWorkGiveNoSession) {
  struct Case {
    const char* what;
    std::string host;
    unsigned short port;
    int attempts, connect_timeout, io_timeout, send_buffer, receive_buffer;
  };
  const std::vector<Case> cases = {
      {"empty host", "", 443, 3, 120, 120, 0, 0},
      {"port 0", "h", 0, 3, 120, 120, 0, 0},
      {"no attempt", "h", 443, 0, 120, 120, 0, 0},
      {"no connect time", "h", 443, 3, 0, 120, 0, 0},
      {"no io time", "h", 443, 3, 120, -1, 0, 0},
      {"negative send buffer", "h", 443, 3, 120, 120, -1, 0},
      {"negative receive buffer", "h", 443, 3, 120, 120, 0, -8},
  };
  for (const Case& c : cases) {
    errno = 0;
    EXPECT_EQ(nullptr, HTTP_Session_Factory::create(c.host, c.port, false, nullptr, c.attempts, nullptr, false,
                                                    c.connect_timeout, c.io_timeout, c.send_buffer, c.receive_buffer))
        << c.what;
    EXPECT_EQ(EINVAL, errno) << c.what;
  }
}

TEST(JSONHTTPSession, StartsEmptyAndOwnsTheSessionItIsGiven) {
  JSON_HTTP_Session session(5, 300);
  EXPECT_TRUE(session.empty());
  EXPECT_EQ(5, session.retries());
  EXPECT_EQ(300, session.retry_timeout_seconds());
  session.reset(HTTP_Session_Factory::create("h", 1, false, nullptr, 1, nullptr, false, 1, 1, 0, 0));
  ASSERT_FALSE(session.empty());
  EXPECT_EQ("h", session.get()->host());
  session.reset(HTTP_Session_Factory::create("", 1, false, nullptr, 1, nullptr, false, 1, 1, 0, 0));
  EXPECT_TRUE(session.empty());
  EXPECT_EQ(nullptr, session.get());
}

TEST(WebSocketOptions, DefaultsNameAServerAndChangesAreSeenByEveryThread) {
  WebSocket_Options* o = WebSocket_Options::instance();
  EXPECT_EQ(o, WebSocket_Options::instance());
  EXPECT_EQ(WebSocket_Options::DEFAULT_HOST, o->host());
  EXPECT_EQ(WebSocket_Options::DEFAULT_PORT, o->port());
  EXPECT_TRUE(o->ssl());
  EXPECT_EQ("", o->cookie());

  std::thread writer([o] {
    o->host("server.example");
    o->port(9000);
    o->ssl(false);
    o->cookie("session=abc");
  });
  writer.join();
  EXPECT_EQ("server.example", o->host());
  EXPECT_EQ(9000, o->port());
  EXPECT_FALSE(o->ssl());
  EXPECT_EQ("session=abc", o->cookie());

  o->host(WebSocket_Options::DEFAULT_HOST);
  o->port(WebSocket_Options::DEFAULT_PORT);
  o->ssl(true);
  o->cookie("");
}

}  // namespace
