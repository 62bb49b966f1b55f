#include "host/jobs/job_definition_loader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oscar/backup_job_options.h"
#include "oscar/backup_job_source.h"
#include "oscar/parser_creators.h"
#include "oscar/restore_job_source.h"
#include "tests/support/test_paths.h"

namespace {

const char* const GOOD_BACKUP = R"({
  "id": "def-1", "uid": "00112233-4455-6677-8899-aabbccddeeff", "name": "nightly",
  "host_id": "host-1", "agent": "oscar", "rsrc_form": "",
  "type": "backup", "subtype": "incremental", "schedule": "ondemand",
  "target": {"id": "pool-1", "device_id": "dev-1"},
  "precondition": "test -d /", "pre_action": "echo pre", "post_action": "echo post",
  "ignore_pre_action_failure": true, "ignore_post_action_failure": false,
  "run_post_action_always": true, "periodic": true,
  "max_seconds_retry": 30, "resumption_buffer_size": 1048576,
  "max_rate_limits": [{"max_bytes_per_second": 1000}, {"max_bytes_per_second": 0}],
  "source": {"id": "oscar/DB1", "name": "DB1", "entries": ["oscar/DB1/SALES"]},
  "options": {"compression": "zstd", "compression_level": 3}
})";

class JobDefinitionLoader : public ::testing::Test {
 protected:
  bool load_backup(const std::string& text, Job_Definition_var& out, std::string* error) {
    return load_job_definition(text, &backup_source_, &backup_options_, out, error);
  }

  Oscar_Backup_Job_Source_Parser_Creator backup_source_;
  Oscar_Backup_Job_Options_Parser_Creator backup_options_;
  Oscar_Restore_Job_Source_Parser_Creator restore_source_;
  Oscar_Restore_Job_Options_Parser_Creator restore_options_;
};

TEST_F(JobDefinitionLoader, GoodBackupFileFillsEveryField) {
  Temp_Dir tmp;
  ASSERT_TRUE(write_file(tmp / "def.json", GOOD_BACKUP));
  Job_Definition_var def;
  std::string error;
  ASSERT_TRUE(load_job_definition_file(tmp / "def.json", &backup_source_, &backup_options_, def, &error)) << error;
  EXPECT_EQ(JOB_DEFINITION_BACKUP, def->type());
  EXPECT_EQ(JOB_DEFINITION_SUBTYPE_INCREMENTAL, def->subtype());
  ASSERT_NE(nullptr, def->schedule());
  EXPECT_EQ(Job_Schedule::TYPE_ONDEMAND, def->schedule()->type());
  EXPECT_EQ("def-1", def->id());
  EXPECT_EQ("00112233-4455-6677-8899-aabbccddeeff", def->uid());
  EXPECT_EQ("nightly", def->name());
  EXPECT_EQ("host-1", def->host_id());
  EXPECT_EQ("oscar", def->agent());
  EXPECT_EQ("", def->rsrc_form());
  EXPECT_EQ("pool-1", def->target().id());
  EXPECT_EQ("dev-1", def->target().device_id());
  EXPECT_EQ("test -d /", def->precondition());
  EXPECT_EQ("echo pre", def->pre_action());
  EXPECT_EQ("echo post", def->post_action());
  EXPECT_TRUE(def->ignore_pre_action_failure());
  EXPECT_FALSE(def->ignore_post_action_failure());
  EXPECT_TRUE(def->run_post_action_always());
  EXPECT_TRUE(def->periodic());
  EXPECT_EQ(30u, def->max_seconds_retry());
  EXPECT_EQ(1048576u, def->resumption_buffer_size());
  ASSERT_EQ(2u, def->max_rate_limits().size());
  EXPECT_EQ(1000u, def->max_rate_limits()[0].max_bytes_per_second);

  const oscar::Backup_Job_Source* src = dynamic_cast<const oscar::Backup_Job_Source*>(def->source());
  ASSERT_NE(nullptr, src);
  EXPECT_EQ("oscar/DB1", src->id());
  EXPECT_EQ(std::vector<std::string>({"oscar/DB1/SALES"}),
            std::vector<std::string>(src->entries().begin(), src->entries().end()));
  ASSERT_NE(nullptr, dynamic_cast<const oscar::Backup_Job_Options*>(def->options()));
}

TEST_F(JobDefinitionLoader, MinimalRestoreFileUsesDefaults) {
  Job_Definition_var def;
  std::string error;
  ASSERT_TRUE(load_job_definition(
      R"({"type": "restore", "source": {"id": "oscar/DB1", "seq": 4, "original": {"database": "DB1"}}})",
      &restore_source_, &restore_options_, def, &error))
      << error;
  EXPECT_EQ(JOB_DEFINITION_RESTORE, def->type());
  EXPECT_EQ(JOB_DEFINITION_SUBTYPE_NONE, def->subtype());
  EXPECT_EQ(nullptr, def->schedule());
  EXPECT_EQ(nullptr, def->options());
  const oscar::Restore_Job_Source* src = dynamic_cast<const oscar::Restore_Job_Source*>(def->source());
  ASSERT_NE(nullptr, src);
  EXPECT_EQ(4u, src->seq());
  EXPECT_TRUE(def->max_rate_limits().empty());
}

TEST_F(JobDefinitionLoader, BadFilesGiveAClearErrorAndLeaveTheOutput) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "not valid JSON"},
      {"{\"type\": \"backup\"", "not valid JSON"},
      {"[]", "must be a JSON object"},
      {"{}", "\"type\" is missing"},
      {R"({"type": "archive"})", "unknown type"},
      {R"({"type": 1})", "\"type\" must be a text"},
      {R"({"type": "backup", "subtype": "weekly"})", "unknown subtype"},
      {R"({"type": "backup", "schedule": "hourly"})", "unknown schedule"},
      {R"({"type": "backup", "colour": "red"})", "unknown key \"colour\""},
      {R"({"type": "backup", "type": "restore"})", "names the key \"type\" twice"},
      {R"({"type": "backup", "target": {"id": "p1", "id": "p2"}})", "names the key \"id\" twice"},
      {R"({"type": "backup", "source": {"id": "res-1", "entries": [], "id": "../../x"}})",
       "names the key \"id\" twice"},
      {R"({"type": "backup", "periodic": "yes"})", "must be true or false"},
      {R"({"type": "backup", "max_seconds_retry": -1})", "non-negative integer"},
      {R"({"type": "backup", "max_seconds_retry": 4294967296})", "non-negative integer"},
      {R"({"type": "backup", "resumption_buffer_size": 1.5})", "non-negative integer"},
      {R"({"type": "backup", "max_rate_limits": [{"max_bytes": 1}]})", "max_rate_limits"},
      {R"({"type": "backup", "max_rate_limits": {}})", "must be an array"},
      {R"({"type": "backup", "target": {"pool": "x"}})", "unknown key \"target.pool\""},
      {R"({"type": "backup", "source": "oscar/DB1"})", "\"source\" must be an object"},
      {R"({"type": "backup", "source": {"name": "no id"}})", "\"source\" is not a valid document"},
      {R"({"type": "backup", "source": {"id": "x", "entries": [["nested"]]}})", "\"source\" is not a valid document"},
      {R"({"type": "backup", "options": {"compression": ["zstd"]}})", "\"options\" is not a valid document"},
      {std::string(100000, '[') + std::string(100000, ']'), "nests deeper"},
      {"{\"type\": \"backup\", \"source\": " + std::string(70, '[') + std::string(70, ']') + "}", "nests deeper"},
  };
  for (const auto& c : cases) {
    Job_Definition_var def;
    std::string error;
    EXPECT_FALSE(load_backup(c.first, def, &error)) << c.first.substr(0, 80);
    EXPECT_TRUE(def.null()) << c.first.substr(0, 80);
    EXPECT_NE(std::string::npos, error.find(c.second)) << c.first.substr(0, 80) << " -> " << error;
  }
}

TEST_F(JobDefinitionLoader, DocumentWithoutItsParserIsRefused) {
  Job_Definition_var def;
  std::string error;
  EXPECT_FALSE(load_job_definition(R"({"type": "backup", "options": {}})", &backup_source_, nullptr, def, &error));
  EXPECT_NE(std::string::npos, error.find("no parser for \"options\""));
  EXPECT_FALSE(load_job_definition(R"({"type": "backup", "source": {"id": "x", "entries": []}})", nullptr,
                                   &backup_options_, def, nullptr));
  EXPECT_TRUE(load_job_definition(R"({"type": "standby"})", nullptr, nullptr, def, &error)) << error;
}

TEST_F(JobDefinitionLoader, MissingOrOversizedFileIsRefused) {
  Temp_Dir tmp;
  Job_Definition_var def;
  std::string error;
  EXPECT_FALSE(load_job_definition_file(tmp / "none.json", &backup_source_, &backup_options_, def, &error));
  EXPECT_NE(std::string::npos, error.find("cannot open"));
  EXPECT_FALSE(load_job_definition_file(tmp.path(), &backup_source_, &backup_options_, def, &error));
}

}  // namespace
