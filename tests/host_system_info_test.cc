#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/base/addr_string.h"
#include "host/base/network_interface.h"
#include "host/base/port_check.h"
#include "host/process/service_lister.h"
#include "host/process/text_process_handler.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_paths.h"

namespace {

// A child shell running a script with the given arguments, ended when the
// object goes away.
class Running_Child {
 public:
  Running_Child(const Temp_Dir& dir, const std::string& args)
      : script_(dir / "server.sh"), options_(true, 4096, 16384, 512, 128), process_(0, nullptr, nullptr) {
    EXPECT_TRUE(write_file(script_, "sleep 30\n"));
    options_.command_line("%s", ("/bin/sh " + script_ + " " + args).c_str());
    // Its own process group, so that terminate also ends the shell's sleep,
    // which shares the test's output streams.
    options_.setgroup(0);
    pid_ = handler_.spawn(process_, options_, nullptr);
  }
  ~Running_Child() { handler_.terminate(100); }
  pid_t pid() const { return pid_; }
  const std::string& script() const { return script_; }

 private:
  std::string script_;
  ACE_Process_Options options_;
  ACE_Process_Ex process_;
  Text_Process_Handler handler_;
  pid_t pid_;
};

std::vector<Service_Info> matching(const std::string& pattern, bool icase = false, const char* locale = nullptr) {
  std::vector<Service_Info> found;
  EXPECT_EQ(0, Service_Lister::list_service(pattern, found, icase, locale));
  return found;
}

// The record of pid among the matches of pattern, waiting (bounded) for a
// just-spawned child to have replaced its image. Empty pid 0 when absent.
Service_Info find_child(pid_t pid, const std::string& pattern, bool icase = false, const char* locale = nullptr) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (const Service_Info& s : matching(pattern, icase, locale))
      if (s.pid == pid) return s;
    ::usleep(20000);
  }
  return Service_Info();
}

TEST(ServiceLister, FindsAStartedChildByItsCommandLine) {
  Temp_Dir tmp;
  Running_Child child(tmp, "-x 1 -d MYDB_7f3a");
  ASSERT_GT(child.pid(), 0);
  const Service_Info found = find_child(child.pid(), "server\\.sh\\s+.*-d\\s+MYDB_7f3a");
  ASSERT_EQ(child.pid(), found.pid);
  EXPECT_EQ("/bin/sh " + child.script() + " -x 1 -d MYDB_7f3a", found.cmd);
  EXPECT_EQ(getpwuid(getuid())->pw_name, found.user);
  // Every other match is the shell's own short-lived fork for its command.
  for (const Service_Info& s : matching("MYDB_7f3a")) EXPECT_EQ(found.cmd, s.cmd);

  EXPECT_TRUE(matching("-d\\s+mydb_7f3a").empty());
  EXPECT_EQ(child.pid(), find_child(child.pid(), "-d\\s+mydb_7f3a", true).pid);
}

TEST(ServiceLister, AppendsToTheCallersList) {
  Temp_Dir tmp;
  Running_Child child(tmp, "-d APPEND_91c2");
  ASSERT_EQ(child.pid(), find_child(child.pid(), "APPEND_91c2").pid);
  std::vector<Service_Info> found(1);
  EXPECT_EQ(0, Service_Lister::list_service("APPEND_91c2", found, false, ""));
  ASSERT_GE(found.size(), 2u);
  EXPECT_EQ(0, found[0].pid);
  EXPECT_TRUE(std::any_of(found.begin() + 1, found.end(), [&](const Service_Info& s) { return s.pid == child.pid(); }));
}

TEST(ServiceLister, ConvertsCommandLinesFromTheLocalesCharacterSet) {
  Temp_Dir tmp;
  Running_Child child(tmp, "-d caf\xe9_5d1b");  // Latin-1 e-acute
  ASSERT_EQ(child.pid(), find_child(child.pid(), "caf\xe9_5d1b", false, "C.UTF-8").pid);
  EXPECT_TRUE(matching("caf\xc3\xa9_5d1b").empty());
  const Service_Info converted = find_child(child.pid(), "caf\xc3\xa9_5d1b", false, "fr_FR.ISO-8859-1");
  EXPECT_EQ(child.pid(), converted.pid);
  EXPECT_NE(std::string::npos, converted.cmd.find("-d caf\xc3\xa9_5d1b"));
}

TEST(ServiceLister, MalformedPatternOrUnknownCharsetFails) {
  Log_Capture log;
  std::vector<Service_Info> found;
  EXPECT_EQ(-1, Service_Lister::list_service("oscar(", found, false, nullptr));
  EXPECT_EQ(-1, Service_Lister::list_service("oscar", found, false, "xx_XX.NO-SUCH-SET"));
  EXPECT_TRUE(found.empty());
  EXPECT_NE(std::string::npos, log.all().find("Invalid process pattern oscar("));
  EXPECT_NE(std::string::npos, log.all().find("Unknown character set of locale xx_XX.NO-SUCH-SET"));
}

// A listening TCP socket on an ephemeral port of the loopback address.
class Listener {
 public:
  explicit Listener(int family) {
    fd_ = ::socket(family, SOCK_STREAM, 0);
    if (fd_ < 0) return;
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
      auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
      sin->sin_family = AF_INET;
      sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *sin;
    } else {
      auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
      sin6->sin6_family = AF_INET6;
      sin6->sin6_addr = in6addr_loopback;
      len = sizeof *sin6;
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd_, 4) != 0) {
      close();
      return;
    }
    len = sizeof ss;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
    port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                    : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  }
  ~Listener() { close(); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool ok() const { return fd_ >= 0; }
  unsigned short port() const { return port_; }

 private:
  int fd_ = -1;
  unsigned short port_ = 0;
};

TEST(PortCheck, ListeningIpv4SocketIsSeenUntilClosed) {
  Listener l(AF_INET);
  ASSERT_TRUE(l.ok());
  EXPECT_TRUE(check_port_listening(l.port()));
  l.close();
  EXPECT_FALSE(check_port_listening(l.port()));
}

TEST(PortCheck, ConnectedButNotListeningSocketDoesNotCount) {
  Listener server(AF_INET);
  ASSERT_TRUE(server.ok());
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(server.port());
  ASSERT_EQ(0, ::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to));
  sockaddr_in mine{};
  socklen_t len = sizeof mine;
  ::getsockname(client, reinterpret_cast<sockaddr*>(&mine), &len);
  EXPECT_FALSE(check_port_listening(ntohs(mine.sin_port)));
  ::close(client);
}

TEST(PortCheck, ListeningIpv6SocketIsSeen) {
  Listener l(AF_INET6);
  if (!l.ok()) GTEST_SKIP() << "no IPv6 loopback here";
  EXPECT_TRUE(check_port_listening(l.port()));
}

TEST(NetworkInterfaces, LoopbackIsListedWithItsAddressAndMask) {
  Network_Interface_Enumerator e;
  EXPECT_EQ(0, e.error());
  auto lo = std::find_if(e.begin(), e.end(), [](const Network_Interface& i) {
    return i.address.get_type() == AF_INET && ACE_Addr_String(i.address, false).str() == "127.0.0.1";
  });
  ASSERT_NE(e.end(), lo);
  EXPECT_FALSE(lo->name.empty());
  EXPECT_GT(lo->index, 0u);
  EXPECT_EQ("255.0.0.0", ACE_Addr_String(lo->netmask, false).str());
  for (const Network_Interface& i : e) {
    EXPECT_TRUE(i.address.get_type() == AF_INET || i.address.get_type() == AF_INET6);
    EXPECT_FALSE(i.name.empty());
  }
}

TEST(AddrString, NumericTextWithOrWithoutPort) {
  ACE_INET_Addr v4(5432, "192.0.2.7");
  EXPECT_EQ("192.0.2.7", ACE_Addr_String(v4, false).str());
  EXPECT_STREQ("192.0.2.7:5432", ACE_Addr_String(v4, true).c_str());
  ACE_INET_Addr v6;
  if (v6.set(80, "::1", 1, AF_INET6) != 0) GTEST_SKIP() << "no IPv6 in ACE";
  EXPECT_EQ("::1", ACE_Addr_String(v6, false).str());
  EXPECT_EQ("[::1]:80", ACE_Addr_String(v6, true).str());
}

}  // namespace
