// The host's settings: Host_Manager (access keys and host.json) and
// Path_Conf (fixed directories under the root prefix).

#include "host/services/host_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "host/base/agent_state.h"
#include "host/services/path_conf.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"

namespace {

TEST(HostManager, AccessKeyHeaderAndSettingsRoundTrip) {
  Test_Sandbox sandbox;
  Host_Manager* h = Host_Manager::instance();
  ASSERT_NE(nullptr, h->http_head_string(Host_Manager::HTTP_HEAD_ACCESS_KEY));
  EXPECT_STREQ("X-Access-Key", h->http_head_string(48));
  EXPECT_EQ(nullptr, h->http_head_string(47));
  EXPECT_FALSE(h->name().empty());

  h->name("node-a");
  h->on_backupd(true);
  h->access_key("ak");
  h->node_access_key("nak");
  ASSERT_EQ(0, h->save());
  struct stat st;
  ASSERT_EQ(0, stat(sandbox.state_file("host.json").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  h->name("other");
  h->on_backupd(false);
  ASSERT_EQ(0, h->load());
  EXPECT_EQ("node-a", h->name());
  EXPECT_TRUE(h->on_backupd());
  EXPECT_EQ("nak", h->node_access_key());

  ASSERT_TRUE(write_file(sandbox.state_file("host.json"), "{\"on_backupd\": \"yes\"}"));
  EXPECT_EQ(-1, h->load());
  EXPECT_TRUE(h->on_backupd());
}

TEST(PathConf, ResolvesComponentUnderTheRootPrefixAndCreatesTheDirectory) {
  Test_Sandbox sandbox;
  set_host_component_name("agentx");
  const Path_Conf fifo("/var/opt/corvane/vantrel4/$COMPONENT/oscar", true, "20260101_093000_fifo", 0750);
  EXPECT_TRUE(fifo.ok());
  EXPECT_EQ(sandbox.root() + "/var/opt/corvane/vantrel4/agentx/oscar/20260101_093000_fifo", fifo.str());
  struct stat st;
  ASSERT_EQ(0, stat(fifo.dir().c_str(), &st));
  EXPECT_EQ(0750u, st.st_mode & 0777);

  const Path_Conf log("/var/log/vantrel4", "brcmd", false, "backup_x.log", 0750);
  EXPECT_EQ(sandbox.root() + "/var/log/vantrel4/brcmd/backup_x.log", log.str());
  EXPECT_NE(0, stat(log.dir().c_str(), &st));

  ASSERT_TRUE(write_file(sandbox.root() + "/plain", "x"));
  const Path_Conf blocked("/plain", "sub", true, "f", 0750);
  EXPECT_FALSE(blocked.ok());
  set_host_root_prefix("");
  set_host_component_name("agent");
  EXPECT_EQ("/var/log/vantrel4/brcmd/f", Path_Conf("/var/log/vantrel4", "brcmd", false, "f", 0750).str());
}

}  // namespace
