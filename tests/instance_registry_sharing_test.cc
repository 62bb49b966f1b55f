// The instance registry shared by agent processes on one state directory:
// a save puts in only its own process's changes, over what the files hold
// when it saves, and waits for a save of another process to end.
#include <ace/Log_Msg.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "host/base/job_mutex.h"
#include "host/services/instance_manager.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"

namespace {

using json = nlohmann::json;

Instance oscar_instance(const std::string& name, const std::string& uuid) {
  Instance inst;
  inst.type = "oscar";
  inst.name = name;
  inst.uuid = uuid;
  inst.options["oscar_home"] = "/opt/" + name;
  return inst;
}

// Runs `step` in a forked process (as another agent on the same state
// directory would) and answers whether it succeeded there.
bool in_other_process(const std::function<bool()>& step) {
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) ::_exit(step() ? 0 : 1);
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class InstanceRegistrySharing : public ::testing::Test {
 protected:
  void SetUp() override { mgr_->clear(); }
  void TearDown() override { mgr_->clear(); }

  // The instance names instances.json holds.
  std::set<std::string> names_in_file() const {
    std::set<std::string> out;
    const json doc = json::parse(read_file(sandbox_.state_file("instances.json")), nullptr, false);
    if (!doc.is_object()) return out;
    for (const json& i : doc["instances"]) out.insert(i["name"].get<std::string>());
    return out;
  }

  // The user of an account, read back from the files afresh; empty when
  // there is none.
  std::string stored_user(const std::string& name, const std::string& uid) {
    EXPECT_EQ(0, mgr_->load());
    std::string user;
    secure_string password;
    if (mgr_->get_account("oscar", name, uid, user, password, nullptr) != 0) return std::string();
    return user;
  }

  Test_Sandbox sandbox_;
  Instance_Manager* mgr_ = Instance_Manager::instance();
};

TEST_F(InstanceRegistrySharing, SaveKeepsWhatAnotherAgentRegisteredSinceThisOneLoaded) {
  ASSERT_EQ(0, mgr_->load());
  mgr_->add_instance(oscar_instance("DBA", "u-a"));
  mgr_->set_account("oscar", "DBA", "", "user-a", secure_string("pass-a"));

  ASSERT_TRUE(in_other_process([this] {
    if (mgr_->load() != 0) return false;
    mgr_->add_instance(oscar_instance("DBB", "u-b"));
    mgr_->set_account("oscar", "DBB", "", "user-b", secure_string("pass-b"));
    return mgr_->save() == 0;
  }));
  ASSERT_EQ(0, mgr_->save());

  EXPECT_EQ((std::set<std::string>{"DBA", "DBB"}), names_in_file());
  // What the other agent saved is in this one's registry now too.
  ASSERT_TRUE(mgr_->find("oscar", "DBB"));
  EXPECT_EQ("u-b", mgr_->find("oscar", "DBB")->uuid);
  EXPECT_EQ("user-a", stored_user("DBA", ""));
  EXPECT_EQ("user-b", stored_user("DBB", ""));
}

TEST_F(InstanceRegistrySharing, EachAgentsChangesAndRemovalsSurviveTheOthersSave) {
  for (const char* name : {"DBX", "DBY", "DBZ"}) {
    mgr_->add_instance(oscar_instance(name, std::string("u-") + name));
    mgr_->set_account("oscar", name, "", std::string("user-") + name, secure_string("pw"));
  }
  ASSERT_EQ(0, mgr_->save());
  ASSERT_EQ(0, mgr_->load());

  // The other agent removes DBX and gives DBZ an account for one job.
  ASSERT_TRUE(in_other_process([this] {
    if (mgr_->load() != 0 || mgr_->remove_instance("oscar", "DBX") != 0) return false;
    mgr_->set_account("oscar", "DBZ", "job-uid", "job-user", secure_string("job-pw"));
    return mgr_->save() == 0;
  }));
  // This one, still holding DBX in memory, removes DBY and changes DBZ.
  ASSERT_TRUE(mgr_->find("oscar", "DBX"));
  ASSERT_EQ(0, mgr_->remove_instance("oscar", "DBY"));
  ASSERT_EQ(0, mgr_->update_options("oscar", "DBZ", {{"node_id", "3"}}));
  ASSERT_EQ(0, mgr_->save());

  EXPECT_EQ(std::set<std::string>{"DBZ"}, names_in_file());
  EXPECT_FALSE(mgr_->find("oscar", "DBX"));
  EXPECT_EQ("3", mgr_->find("oscar", "DBZ")->options.at("node_id"));
  EXPECT_EQ("", stored_user("DBX", ""));
  EXPECT_EQ("", stored_user("DBY", ""));
  EXPECT_EQ("user-DBZ", stored_user("DBZ", ""));
  EXPECT_EQ("job-user", stored_user("DBZ", "job-uid"));
}

TEST_F(InstanceRegistrySharing, RemovalTakesTheAccountsAnotherAgentStoredForTheInstance) {
  mgr_->add_instance(oscar_instance("DBR", "u-r"));
  mgr_->set_account("oscar", "DBR", "", "user-r", secure_string("pw"));
  ASSERT_EQ(0, mgr_->save());
  ASSERT_TRUE(in_other_process([this] {
    if (mgr_->load() != 0) return false;
    mgr_->set_account("oscar", "DBR", "job-uid", "job-user", secure_string("job-pw"));
    return mgr_->save() == 0;
  }));
  ASSERT_EQ(0, mgr_->remove_instance("oscar", "DBR"));
  ASSERT_EQ(0, mgr_->save());
  EXPECT_TRUE(names_in_file().empty());
  EXPECT_EQ("", stored_user("DBR", "job-uid"));
  EXPECT_EQ("", stored_user("DBR", ""));
}

// Another agent holds the registry's lock while it writes the files: a
// save waits for it, says once whom it waits for, and then writes its
// change over what that agent wrote.
TEST_F(InstanceRegistrySharing, SaveWaitsForAnotherAgentsWriteAndRereadsAfterIt) {
  const std::string path = sandbox_.state_file("instances.json");
  const std::string log_path = sandbox_ / "saver.log";
  int ready[2], go[2];
  ASSERT_EQ(0, ::pipe(ready));
  ASSERT_EQ(0, ::pipe(go));
  // The other agent: takes the lock, and when told writes the registry
  // and lets go. Every wait of it is bounded.
  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    const Job_Lock lock("instance registry " + path, "other writer", ACE_Time_Value(10));
    const char c = lock.locked() ? '1' : '0';
    pollfd p{go[0], POLLIN, 0};
    if (::write(ready[1], &c, 1) != 1 || c != '1' || ::poll(&p, 1, 60000) != 1) ::_exit(1);
    const json doc = {{"instances", json::array({{{"type", "oscar"}, {"name", "DBW"}}})}};
    ::_exit(write_file(path, doc.dump()) ? 0 : 1);
  }
  pollfd p{ready[0], POLLIN, 0};
  char c = 0;
  ASSERT_TRUE(::poll(&p, 1, 30000) == 1 && ::read(ready[0], &c, 1) == 1 && c == '1');

  const pid_t saver = ::fork();
  ASSERT_GE(saver, 0);
  if (saver == 0) {
    std::ofstream log(log_path);
    ACE_LOG_MSG->msg_ostream(&log);
    ACE_LOG_MSG->set_flags(ACE_Log_Msg::OSTREAM);
    ACE_LOG_MSG->clr_flags(ACE_Log_Msg::STDERR);
    mgr_->add_instance(oscar_instance("DBS", "u-s"));
    const int saved = mgr_->save();
    log.flush();
    ::_exit(saved == 0 ? 0 : 1);
  }
  // Bounded: the saver logs its wait at once.
  bool waiting = false;
  for (int i = 0; i < 1500 && !waiting; ++i) {
    waiting = read_file(log_path).find("waits for the lock of instance registry") != std::string::npos;
    if (!waiting) ::poll(nullptr, 0, 20);
  }
  EXPECT_TRUE(waiting) << read_file(log_path);
  ASSERT_EQ(1, ::write(go[1], "x", 1));

  int status = 0;
  ASSERT_EQ(writer, ::waitpid(writer, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(saver, ::waitpid(saver, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(log_path);
  for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
  EXPECT_EQ((std::set<std::string>{"DBS", "DBW"}), names_in_file());
  const std::string log = read_file(log_path);
  const std::size_t wait = log.find("waits for the lock of instance registry " + path + ", held by pid " +
                                    std::to_string(writer) + " (other writer)");
  EXPECT_NE(std::string::npos, wait) << log;
  EXPECT_EQ(std::string::npos, log.find("waits for the lock", wait + 1)) << log;
}

}  // namespace
