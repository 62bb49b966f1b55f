#include "host/services/instance_manager.h"

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"

namespace {

const char* const PASSWORD = "Pw-7f3e\\\"quoted\"-and-long-enough-to-leave-the-small-buffer";

class InstanceManager : public ::testing::Test {
 protected:
  void SetUp() override {
    ACE_LOG_MSG->msg_ostream(&log_);
    ACE_LOG_MSG->set_flags(ACE_Log_Msg::OSTREAM);
    mgr_->clear();
    Instance inst;
    inst.type = "oscar";
    inst.name = "DB1";
    inst.uuid = "u-1";
    inst.options = {{"oscar_home", "/opt/oscar"}, {"version", "8.1"}};
    mgr_->add_instance(inst);
    mgr_->set_account("oscar", "DB1", "", "sysdba", secure_string("default-pass"));
    mgr_->set_account("oscar", "DB1", "job-uid", "backup", secure_string(PASSWORD));
  }
  void TearDown() override {
    mgr_->clear();
    ACE_LOG_MSG->clr_flags(ACE_Log_Msg::OSTREAM);
    ACE_LOG_MSG->msg_ostream(&std::cerr);
  }

  Test_Sandbox sandbox_;
  std::ostringstream log_;
  Instance_Manager* mgr_ = Instance_Manager::instance();
};

TEST_F(InstanceManager, FindsRegisteredInstancesByTypeAndName) {
  Instance_ptr inst = mgr_->find("oscar", "DB1");
  ASSERT_TRUE(inst);
  EXPECT_EQ("/opt/oscar", inst->options.at("oscar_home"));
  EXPECT_FALSE(mgr_->find("oscar", "DB2"));
  EXPECT_FALSE(mgr_->find("other", "DB1"));

  ASSERT_EQ(0, mgr_->update_options("oscar", "DB1", {{"node_id", "2"}}));
  EXPECT_EQ(0u, inst->options.count("node_id"));  // the snapshot held stays as it was
  EXPECT_EQ("2", mgr_->find("oscar", "DB1")->options.at("node_id"));
  EXPECT_EQ("8.1", mgr_->find("oscar", "DB1")->options.at("version"));
  EXPECT_EQ(-1, mgr_->update_options("oscar", "DB9", {{"a", "b"}}));
}

TEST_F(InstanceManager, RemovedInstanceTakesItsAccountsAndLeavesTheOthers) {
  Instance other;
  other.type = "oscar";
  other.name = "DB2";
  other.uuid = "u-2";
  mgr_->add_instance(other);
  mgr_->set_account("oscar", "DB2", "", "admin2", secure_string("pass-2"));
  ASSERT_EQ(0, mgr_->remove_instance("oscar", "DB1"));
  EXPECT_EQ(-1, mgr_->remove_instance("oscar", "DB1"));
  EXPECT_EQ(-1, mgr_->remove_instance("other", "DB2"));
  ASSERT_EQ(0, mgr_->save());

  ASSERT_EQ(0, mgr_->load());
  EXPECT_FALSE(mgr_->find("oscar", "DB1"));
  ASSERT_TRUE(mgr_->find("oscar", "DB2"));
  std::string user;
  secure_string password;
  EXPECT_EQ(-1, mgr_->get_account("oscar", "DB1", "job-uid", user, password, nullptr));
  EXPECT_EQ(-1, mgr_->get_account("oscar", "DB1", "", user, password, nullptr));
  ASSERT_EQ(0, mgr_->get_account("oscar", "DB2", "", user, password, nullptr));
  EXPECT_EQ("admin2", user);
  const std::string accounts = read_file(sandbox_.state_file("accounts.json"));
  EXPECT_EQ(std::string::npos, accounts.find(PASSWORD));
  EXPECT_EQ(std::string::npos, accounts.find("default-pass"));
}

TEST_F(InstanceManager, AccountOfTheJobUidElseTheDefaultElseNone) {
  std::string user;
  secure_string password;
  ASSERT_EQ(0, mgr_->get_account("oscar", "DB1", "job-uid", user, password, nullptr));
  EXPECT_EQ("backup", user);
  EXPECT_TRUE(password == PASSWORD);
  ASSERT_EQ(0, mgr_->get_account("oscar", "DB1", "other-uid", user, password, nullptr));
  EXPECT_EQ("sysdba", user);
  EXPECT_TRUE(password == "default-pass");
  EXPECT_EQ(-1, mgr_->get_account("oscar", "DB2", "job-uid", user, password, nullptr));
  EXPECT_TRUE(user.empty());
  EXPECT_TRUE(password.empty());
}

TEST_F(InstanceManager, SavedRegistryLoadsBackWithAPrivateAccountsFile) {
  ASSERT_EQ(0, mgr_->save());
  struct stat st;
  ASSERT_EQ(0, stat(sandbox_.state_file("accounts.json").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_EQ(std::string::npos, read_file(sandbox_.state_file("instances.json")).find("default-pass"));

  mgr_->clear();
  ASSERT_EQ(0, mgr_->load());
  ASSERT_TRUE(mgr_->find("oscar", "DB1"));
  EXPECT_EQ("u-1", mgr_->find("oscar", "DB1")->uuid);
  std::string user;
  secure_string password;
  ASSERT_EQ(0, mgr_->get_account("oscar", "DB1", "job-uid", user, password, nullptr));
  EXPECT_TRUE(password == PASSWORD);
}

TEST_F(InstanceManager, AccountsFileReadableByOthersIsRefused) {
  ASSERT_EQ(0, mgr_->save());
  ASSERT_EQ(0, chmod(sandbox_.state_file("accounts.json").c_str(), 0640));
  mgr_->clear();
  EXPECT_EQ(-1, mgr_->load());
  EXPECT_FALSE(mgr_->find("oscar", "DB1"));
  EXPECT_NE(std::string::npos, log_.str().find("mode 0600"));
}

TEST_F(InstanceManager, MalformedFilesAreRefusedAndLeaveTheRegistry) {
  ASSERT_TRUE(write_file(sandbox_.state_file("instances.json"), "{\"instances\": [{\"type\": \"oscar\"}]}"));
  EXPECT_EQ(-1, mgr_->load());
  EXPECT_TRUE(mgr_->find("oscar", "DB1"));

  ASSERT_TRUE(write_file(sandbox_.state_file("instances.json"), "{\"instances\": []}"));
  const std::vector<std::string> bad = {
      "{\"accounts\": [{\"type\": \"oscar\", \"instance\": \"DB1\", \"password\": 5}]}",
      "{\"accounts\": [{\"type\": \"oscar\", \"instance\": \"DB1\", \"extra\": \"x\"}]}",
      "{\"accounts\": [{\"user\": \"u\"}]}",
      "{\"other\": []}",
      "[",
      "",
  };
  for (const std::string& text : bad) {
    ASSERT_TRUE(write_file(sandbox_.state_file("accounts.json"), text));
    ASSERT_EQ(0, chmod(sandbox_.state_file("accounts.json").c_str(), 0600));
    EXPECT_EQ(-1, mgr_->load()) << text;
    EXPECT_TRUE(mgr_->find("oscar", "DB1")) << text;
  }
}

TEST_F(InstanceManager, PasswordNeverReachesALogOrAnyOtherFile) {
  ASSERT_EQ(0, mgr_->save());
  ASSERT_EQ(0, chmod(sandbox_.state_file("accounts.json").c_str(), 0644));
  EXPECT_EQ(-1, mgr_->load());
  ASSERT_EQ(0, chmod(sandbox_.state_file("accounts.json").c_str(), 0600));
  ASSERT_EQ(0, mgr_->load());
  ASSERT_TRUE(write_file(sandbox_.state_file("accounts.json"),
                         std::string("{\"accounts\": [{\"password\": \"") + "default-pass" + "\", \"type\": 1}]}"));
  EXPECT_EQ(-1, mgr_->load());

  EXPECT_FALSE(log_.str().empty());
  EXPECT_EQ(std::string::npos, log_.str().find("default-pass"));
  EXPECT_EQ(std::string::npos, log_.str().find("Pw-7f3e"));
  const std::vector<std::string> files = files_under(sandbox_.path());
  ASSERT_FALSE(files.empty());
  for (const std::string& f : files) {
    if (f == sandbox_.state_file("accounts.json")) continue;
    const std::string text = read_file(f);
    EXPECT_EQ(std::string::npos, text.find("default-pass")) << f;
    EXPECT_EQ(std::string::npos, text.find("Pw-7f3e")) << f;
  }
}

}  // namespace
