#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "agent/module.h"
#include "host/base/yajl_handler.h"
#include "host/base/yajl_parser.h"
#include "host/jobs/job_creator.h"
#include "host/jobs/job_definition.h"
#include "host/jobs/object_creator.h"

namespace {

typedef Job_Creator* (*Make_Job_Creator)(Job_Creator_Exterminator*);
typedef Object_Creator_T<YAJL_Handler>* (*Make_Parser_Creator)(Object_Creator_Exterminator*);

// The module as the agent loads it: by path, with its factories found by
// their plain names.
class ModuleLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(OSCAR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle_) << dlerror();
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }

  template <typename F>
  F symbol(const char* name) {
    return reinterpret_cast<F>(dlsym(handle_, name));
  }

  // Parses `text` with a parser of the factory exported as `factory`; the
  // factory and the parser are released through the module's own functions.
  Job_Definition::Source_var parse_source(const char* factory, const std::string& text) {
    Make_Parser_Creator make = symbol<Make_Parser_Creator>(factory);
    EXPECT_NE(nullptr, make) << factory;
    if (make == nullptr) return Job_Definition::Source_var();
    Object_Creator_Exterminator gobble = nullptr;
    Object_Creator_T<YAJL_Handler>* creator = make(&gobble);
    EXPECT_NE(nullptr, gobble);
    EXPECT_EQ(0, creator->init(0, nullptr));
    YAJL_Handler* parser = creator->create();
    EXPECT_NE(nullptr, parser);
    Job_Definition::Source_var result;
    std::string error;
    if (parser != nullptr && parser->parse(text.data(), text.size(), &error))
      result = static_cast<YAJL_Parser<Job_Source>*>(parser)->result();
    EXPECT_TRUE(error.empty()) << error;
    creator->destroy(parser);
    gobble(creator);
    return result;
  }

  void* handle_ = nullptr;
};

TEST_F(ModuleLoad, OnlyTheFiveFactoriesAreVisible) {
  EXPECT_NE(nullptr, dlsym(handle_, "_make_Oscar_Job_Creator"));
  EXPECT_NE(nullptr, dlsym(handle_, "_make_Oscar_Backup_Job_Options_Parser_Creator"));
  EXPECT_NE(nullptr, dlsym(handle_, "_make_Oscar_Backup_Job_Source_Parser_Creator"));
  EXPECT_NE(nullptr, dlsym(handle_, "_make_Oscar_Restore_Job_Options_Parser_Creator"));
  EXPECT_NE(nullptr, dlsym(handle_, "_make_Oscar_Restore_Job_Source_Parser_Creator"));
  EXPECT_EQ(nullptr, dlsym(handle_, "_gobble_Oscar_Job_Creator"));
  EXPECT_EQ(nullptr, dlsym(handle_, "_gobble_Oscar_Backup_Job_Source_Parser_Creator"));
}

TEST_F(ModuleLoad, BackupAndRestoreSourcesParseThroughTheExportedFactories) {
  Job_Definition::Source_var backup =
      parse_source("_make_Oscar_Backup_Job_Source_Parser_Creator",
                   R"({"id": "oscar/DB1", "name": "DB1", "entries": ["oscar/DB1/SALES", "oscar/DB1/HR/STAFF"]})");
  ASSERT_FALSE(backup.null());
  EXPECT_EQ("oscar/DB1", backup->id());
  EXPECT_EQ("DB1", backup->name());

  Job_Definition::Source_var restore = parse_source("_make_Oscar_Restore_Job_Source_Parser_Creator",
                                                    R"({"id": "oscar/DB2", "seq": 3, "original": {"database": "DB1"},
                       "restore_as": {"database": "DB2"}})");
  ASSERT_FALSE(restore.null());
  EXPECT_EQ("oscar/DB2", restore->id());
}

TEST_F(ModuleLoad, JobCreatorMakesNothingForKindsWithoutAnExecutor) {
  Make_Job_Creator make = symbol<Make_Job_Creator>("_make_Oscar_Job_Creator");
  ASSERT_NE(nullptr, make);
  Job_Creator_Exterminator gobble = nullptr;
  Job_Creator* creator = make(&gobble);
  ASSERT_NE(nullptr, creator);
  ASSERT_NE(nullptr, gobble);
  EXPECT_EQ(0, creator->init(0, nullptr));

  const Job_Definition_Type types[] = {JOB_DEFINITION_NONE, JOB_DEFINITION_STANDBY};
  for (Job_Definition_Type type : types) {
    Job_Definition_var def(new Job_Definition());
    def->type(type);
    errno = EDOM;
    Job_var job = creator->create(def);
    EXPECT_EQ(nullptr, job.get()) << type;
    EXPECT_EQ(EDOM, errno) << type;
  }
  // Backup and restore definitions of any subtype but export and import
  // are physical jobs.
  for (Job_Definition_Type type : {JOB_DEFINITION_BACKUP, JOB_DEFINITION_RESTORE}) {
    Job_Definition_var def(new Job_Definition());
    def->type(type);
    EXPECT_NE(nullptr, creator->create(def).get()) << type;
  }
  EXPECT_EQ(0, creator->fini());
  gobble(creator);
  gobble(nullptr);

  Job_Creator* without_gobbler = make(nullptr);
  ASSERT_NE(nullptr, without_gobbler);
  gobble(without_gobbler);
}

TEST_F(ModuleLoad, GobbleFunctionsAcceptNull) {
  const char* const factories[] = {
      "_make_Oscar_Backup_Job_Options_Parser_Creator", "_make_Oscar_Backup_Job_Source_Parser_Creator",
      "_make_Oscar_Restore_Job_Options_Parser_Creator", "_make_Oscar_Restore_Job_Source_Parser_Creator"};
  for (const char* name : factories) {
    Make_Parser_Creator make = symbol<Make_Parser_Creator>(name);
    ASSERT_NE(nullptr, make) << name;
    Object_Creator_Exterminator gobble = nullptr;
    Object_Creator_T<YAJL_Handler>* creator = make(&gobble);
    ASSERT_NE(nullptr, gobble) << name;
    gobble(nullptr);
    gobble(creator);
  }
}

TEST_F(ModuleLoad, EveryFunctionTheAgentCallsIsExportedUnderItsName) {
  const Oscar_Module::Function_Symbol* symbols = Oscar_Module::function_symbols();
  for (int i = 0; i < Oscar_Module::FUNCTION_COUNT; ++i)
    EXPECT_NE(nullptr, dlsym(handle_, symbols[i].symbol)) << symbols[i].name;

  Oscar_Module module;
  std::string err;
  ASSERT_TRUE(module.load(OSCAR_MODULE_PATH, err)) << err;
  const Oscar_Module::Functions& f = module.functions();
  EXPECT_NE(nullptr, f.test_login_instance);
  EXPECT_NE(nullptr, f.get_instance_info);
  EXPECT_NE(nullptr, f.get_instance_port);
  EXPECT_NE(nullptr, f.get_instance_state);
  EXPECT_NE(nullptr, f.get_version);
  EXPECT_NE(nullptr, f.get_log_mode);
  EXPECT_NE(nullptr, f.get_database_info);
  EXPECT_NE(nullptr, f.get_schemas_info);
  EXPECT_NE(nullptr, f.get_tables_info);
  EXPECT_NE(nullptr, f.get_cluster_nodes);
}

TEST_F(ModuleLoad, ALibraryWithoutTheModulesNamesIsRefusedNamingTheFirstMissing) {
  Oscar_Module module;
  std::string err;
  EXPECT_FALSE(module.load(OSCAR_BUILD_DIR "/host/libhost.so", err));
  EXPECT_NE(std::string::npos, err.find("does not export _make_Oscar_Job_Creator")) << err;
  EXPECT_EQ(nullptr, module.functions().get_instance_info);
}

}  // namespace
