#include "host/services/update_instance.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"

namespace {

class UpdateInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    Instance_Manager::instance()->clear();
    Instance inst;
    inst.type = "oscar";
    inst.name = "DB1";
    inst.uuid = "5b0c";
    inst.options["oscar_home"] = "/opt/db";
    inst.options["node_id"] = "9";
    Instance_Manager::instance()->add_instance(inst);
  }
  void TearDown() override { Instance_Manager::instance()->clear(); }
};

TEST_F(UpdateInstance, StoresAttributesAsOptionsOfTheRecord) {
  const Instance_ptr before = Instance_Manager::instance()->find("oscar", "DB1");
  ASSERT_TRUE(before);
  const std::map<std::string, nlohmann::json> attrs = {
      {"master_id", 1}, {"node_id", 2}, {"instance", "DB1"}, {"is_master", false}};
  EXPECT_EQ(0, update_instance(before, attrs));
  const Instance_ptr after = Instance_Manager::instance()->find("oscar", "DB1");
  EXPECT_EQ("1", after->options.at("master_id"));
  EXPECT_EQ("2", after->options.at("node_id"));
  EXPECT_EQ("DB1", after->options.at("instance"));
  EXPECT_EQ("false", after->options.at("is_master"));
  EXPECT_EQ("/opt/db", after->options.at("oscar_home"));
  EXPECT_EQ("9", before->options.at("node_id"));  // a snapshot in use is never changed
}

TEST_F(UpdateInstance, SavesTheRegistryWhenTheAgentHasAStateDirectory) {
  Test_Sandbox sandbox;
  EXPECT_EQ(0, update_instance(Instance_Manager::instance()->find("oscar", "DB1"), {{"node_id", 4}}));
  Instance_Manager::instance()->clear();
  ASSERT_EQ(0, Instance_Manager::instance()->load());
  const Instance_ptr loaded = Instance_Manager::instance()->find("oscar", "DB1");
  ASSERT_TRUE(loaded);
  EXPECT_EQ("4", loaded->options.at("node_id"));
}

TEST_F(UpdateInstance, EmptyOrUnregisteredInstanceFails) {
  Log_Capture log;
  EXPECT_EQ(-1, update_instance(Instance_ptr(), {{"node_id", 1}}));
  auto gone = std::make_shared<Instance>();
  gone->type = "oscar";
  gone->name = "GONE";
  EXPECT_EQ(-1, update_instance(gone, {{"node_id", 1}}));
  EXPECT_EQ(2u, log.records().size());
  EXPECT_NE(std::string::npos, log.all().find("Failed to update instance GONE"));
}

}  // namespace
