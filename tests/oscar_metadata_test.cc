// The export set's metadata document: its two keys beside the generic ones,
// and refusal of a document that is not an object.
#include "oscar/oscar_metadata.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/log_capture.h"

namespace {

TEST(OscarMetadata, KeysShareTheGenericDocument) {
  oscar::Oscar_Metadata m;
  std::string name;
  nlohmann::json spaces;
  EXPECT_FALSE(m.get_dbinstance(name));
  EXPECT_FALSE(m.get_tablespaces(spaces));
  ASSERT_TRUE(m.set_uuid("set-1"));
  ASSERT_TRUE(m.set_dbinstance("ORCL"));
  ASSERT_TRUE(m.set_tablespaces(nlohmann::json::array({"USERS", "DATA2", "IDX"})));
  ASSERT_TRUE(m.set_dbinstance("ORCL2"));
  EXPECT_TRUE(m.get_dbinstance(name));
  EXPECT_EQ("ORCL2", name);
  EXPECT_TRUE(m.get_tablespaces(spaces));
  EXPECT_EQ(nlohmann::json::array({"USERS", "DATA2", "IDX"}), spaces);
  EXPECT_EQ(nlohmann::json({{"uuid", "set-1"}, {"dbinstance", "ORCL2"}, {"tablespaces", {"USERS", "DATA2", "IDX"}}}),
            m.value());

  // A stored document read back with keys of another type.
  m.value(nlohmann::json({{"dbinstance", 7}, {"tablespaces", "USERS"}}));
  name = "kept";
  spaces = nlohmann::json::array({"kept"});
  EXPECT_FALSE(m.get_dbinstance(name));
  EXPECT_FALSE(m.get_tablespaces(spaces));
  EXPECT_EQ("kept", name);
  EXPECT_EQ(nlohmann::json::array({"kept"}), spaces);
}

TEST(OscarMetadata, DocumentThatIsNotAnObjectIsRefusedAndLeftAlone) {
  oscar::Oscar_Metadata m;
  m.value(nlohmann::json::array({1, 2}));
  Log_Capture log;
  std::string name = "kept";
  nlohmann::json spaces;
  EXPECT_FALSE(m.set_dbinstance("ORCL"));
  EXPECT_FALSE(m.set_tablespaces(nlohmann::json::array({"USERS"})));
  EXPECT_FALSE(m.get_dbinstance(name));
  EXPECT_FALSE(m.get_tablespaces(spaces));
  EXPECT_EQ("kept", name);
  EXPECT_EQ(nlohmann::json::array({1, 2}), m.value());
  ASSERT_EQ(4u, log.records().size());
  EXPECT_NE(std::string::npos, log.all().find("metadata_ is not object!"));
}

}  // namespace
