// The simulator's home administration and server process.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>
#include <vector>

#include "tests/support/sim_home.h"
#include "tests/support/test_paths.h"

namespace {

int pid_in(const std::string& pid_file) { return std::atoi(read_file(pid_file).c_str()); }

std::string cmdline_of(int pid) {
  std::string c = read_file("/proc/" + std::to_string(pid) + "/cmdline");
  for (char& ch : c) {
    if (ch == '\0') ch = ' ';
  }
  while (!c.empty() && c.back() == ' ') c.pop_back();
  return c;
}

bool gone_within(int pid, int ms) {
  for (int i = 0; i < ms / 20; ++i) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t p = stat.rfind(')');
    if (stat.empty() || (p != std::string::npos && stat[p + 2] == 'Z')) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(SimHome, InitMakesToolsConfigurationDataAndState) {
  Temp_Dir tmp;
  Sim_Home home(tmp / "db", "ORCL");
  Run_Result r = home.init({"--vip", "10.1.2.3"});
  ASSERT_EQ(0, r.status) << r.err;
  for (const char* tool : {"oscar", "isql", "brcmd", "osrexp", "osrimp"}) {
    EXPECT_EQ(0, ::access(home.bin(tool).c_str(), X_OK)) << tool;
  }
  std::string conf = read_file(home.root() + "/admin/ORCL.conf");
  EXPECT_TRUE(std::regex_search(conf, std::regex("(^|\n)\\s*port\\s*=\\s*" + std::to_string(home.port()) + "\n")))
      << conf;
  EXPECT_NE(std::string::npos, conf.find("HA_SERVER_IP_ADDRESS = '10.1.2.3'")) << conf;
  struct stat st;
  ASSERT_EQ(0, ::stat((home.root() + "/odbs/ORCL/USERS01.dbf").c_str(), &st));
  EXPECT_GT(st.st_size, 0);
  EXPECT_NE(std::string::npos, read_file(home.root() + "/admin/oscar-sim.json").find("\"ORCL\""));
}

TEST(SimHome, InitRefusesBadNamesDuplicatesAndUnsafePasswords) {
  Temp_Dir tmp;
  Sim_Home home(tmp / "db", "ORCL");
  ASSERT_EQ(0, home.init().status);
  EXPECT_NE(0, home.init().status) << "the same instance twice";
  Sim_Home bad(tmp / "db", "A B");
  EXPECT_NE(0, bad.init().status);
  Sim_Home slash(tmp / "db", "OTHER", "SYSDBA", "pass/word");
  EXPECT_NE(0, slash.init().status);
  Sim_Home second(tmp / "db", "SECOND");
  EXPECT_EQ(0, second.init().status) << "a second instance in the same home";
}

TEST(SimHome, InitWithDataFilesAddsUserTablespacesUpToThatCount) {
  Temp_Dir tmp;
  Sim_Home home(tmp / "db", "ORCL");
  ASSERT_EQ(0, home.init({"--size", "1M", "--datafiles", "40"}).status);
  const std::vector<std::string> files = dir_entries(home.root() + "/odbs/ORCL");
  EXPECT_EQ(40u, files.size());
  struct stat st;
  // Six of the system's own, then USERS02 to USERS35; each user file gets
  // at least 4 pages, however small its share.
  ASSERT_EQ(0, ::stat((home.root() + "/odbs/ORCL/USERS35.dbf").c_str(), &st));
  EXPECT_EQ(4 * 8192, st.st_size);
  EXPECT_NE(0, ::stat((home.root() + "/odbs/ORCL/USERS36.dbf").c_str(), &st));
  EXPECT_NE(std::string::npos, read_file(home.root() + "/admin/oscar-sim.json").find("\"USERS35\""));
  // Fewer files than the system's own tablespaces, or no number, are refused.
  Sim_Home few(tmp / "db", "FEW");
  EXPECT_NE(0, few.init({"--datafiles", "5"}).status);
  Sim_Home word(tmp / "db", "WORD");
  EXPECT_NE(0, word.init({"--datafiles", "many"}).status);
}

TEST(SimServer, StartWritesPidFileListensAndStopRemovesIt) {
  Temp_Dir tmp;
  Sim_Home home(tmp / "db", "ORCL");
  ASSERT_EQ(0, home.init().status);
  Run_Result r = home.admin("start");
  ASSERT_EQ(0, r.status) << r.err;
  std::string pid_file = home.root() + "/admin/ORCL.db";
  int pid = pid_in(pid_file);
  ASSERT_GT(pid, 0);
  // The command line is what the module's discovery looks for.
  std::smatch m;
  std::string cmd = cmdline_of(pid);
  ASSERT_TRUE(std::regex_match(cmd, m, std::regex("\\s*(\\S*oscar)\\s+.*-d\\s+(\\S+).*"))) << cmd;
  EXPECT_EQ(home.root() + "/bin/oscar", m[1].str());
  EXPECT_EQ("ORCL", m[2].str());
  EXPECT_NE(0, home.admin("start").status) << "a second server for the same instance";
  EXPECT_EQ(0, home.tool("isql", {"-U" + home.user() + "/" + home.password(), "-dORCL",
                                  "-p" + std::to_string(home.port()), "-l"})
                   .status);
  ASSERT_EQ(0, home.admin("stop").status);
  EXPECT_TRUE(gone_within(pid, 5000));
  EXPECT_NE(0, ::access(pid_file.c_str(), F_OK));
  EXPECT_NE(0, home.tool("isql", {"-U" + home.user() + "/" + home.password(), "-dORCL",
                                  "-p" + std::to_string(home.port()), "-l"})
                   .status);
}

TEST(SimServer, EndsOnSigtermAndOnShutdownImmediate) {
  Temp_Dir tmp;
  Sim_Home home(tmp / "db", "ORCL");
  ASSERT_EQ(0, home.init().status);
  std::string pid_file = home.root() + "/admin/ORCL.db";
  ASSERT_EQ(0, home.admin("start").status);
  int pid = pid_in(pid_file);
  ASSERT_EQ(0, ::kill(pid, SIGTERM));
  EXPECT_TRUE(gone_within(pid, 5000));
  EXPECT_NE(0, ::access(pid_file.c_str(), F_OK));

  ASSERT_EQ(0, home.admin("start").status);
  pid = pid_in(pid_file);
  Run_Result r = home.tool("isql", {"-U" + home.user() + "/" + home.password(), "-dORCL",
                                    "-p" + std::to_string(home.port()), "-c", "shutdown immediate"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(gone_within(pid, 5000));
  EXPECT_NE(0, ::access(pid_file.c_str(), F_OK));
}

TEST(SimServer, StartFailsWhenThePortIsTaken) {
  Temp_Dir tmp;
  Sim_Home a(tmp / "a", "ORCL");
  ASSERT_EQ(0, a.init().status);
  ASSERT_EQ(0, a.admin("start").status);
  Sim_Home b(tmp / "b", "ORCL");
  ASSERT_EQ(0, b.init().status);
  std::string conf = b.root() + "/admin/ORCL.conf";
  ASSERT_TRUE(write_file(conf, "port = " + std::to_string(a.port()) + "\n"));
  Run_Result r = b.admin("start");
  EXPECT_NE(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("cannot listen")) << r.err;
  EXPECT_NE(0, ::access((b.root() + "/admin/ORCL.db").c_str(), F_OK));
}

TEST(SimServer, IgnoringSigtermNeedsTheKill) {
  Temp_Dir tmp;
  Sim_Home home(tmp / "db", "ORCL");
  ASSERT_EQ(0, home.init().status);
  ASSERT_EQ(0, home.admin("set", {"faults.server=ignore-term"}).status);
  ASSERT_EQ(0, home.admin("start").status);
  int pid = pid_in(home.root() + "/admin/ORCL.db");
  ASSERT_EQ(0, ::kill(pid, SIGTERM));
  EXPECT_FALSE(gone_within(pid, 600));
  ASSERT_EQ(0, ::kill(pid, SIGKILL));
  EXPECT_TRUE(gone_within(pid, 5000));
}

}  // namespace
