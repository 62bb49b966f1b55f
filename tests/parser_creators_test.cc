#include "oscar/parser_creators.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "oscar/backup_job_source.h"
#include "oscar/restore_job_source.h"

namespace {

typedef Object_Creator_T<YAJL_Handler>* (*Make_Fn)(Object_Creator_Exterminator*);

const char* const FACTORY_NAMES[] = {
    "_make_Oscar_Backup_Job_Options_Parser_Creator",
    "_make_Oscar_Backup_Job_Source_Parser_Creator",
    "_make_Oscar_Restore_Job_Options_Parser_Creator",
    "_make_Oscar_Restore_Job_Source_Parser_Creator",
};

// One valid document for each factory, in the order of FACTORY_NAMES.
const char* const DOCUMENTS[] = {
    R"({"compression":"zstd","compression_level":3})",
    R"({"id":"inst","entries":["oscar/inst/db"]})",
    R"({})",
    R"({"id":"inst","seq":4,"original":{"database":"db"}})",
};

struct Module {
  Module() : handle(::dlopen(OSCAR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~Module() {
    if (handle != nullptr) ::dlclose(handle);
  }
  void* handle;
};

TEST(ParserCreators, LoadedModuleMakesWorkingParsersAndDestroysThem) {
  Module module;
  ASSERT_NE(nullptr, module.handle) << ::dlerror();
  for (int i = 0; i < 4; ++i) {
    Make_Fn make = reinterpret_cast<Make_Fn>(::dlsym(module.handle, FACTORY_NAMES[i]));
    ASSERT_NE(nullptr, make) << FACTORY_NAMES[i];
    Object_Creator_Exterminator gobble = nullptr;
    Object_Creator_T<YAJL_Handler>* creator = make(&gobble);
    ASSERT_NE(nullptr, creator);
    ASSERT_NE(nullptr, gobble);
    YAJL_Handler* parser = creator->create();
    ASSERT_NE(nullptr, parser);
    const std::string doc = DOCUMENTS[i];
    EXPECT_TRUE(parser->parse(doc.data(), doc.size())) << doc;
    creator->destroy(parser);
    creator->destroy(nullptr);
    gobble(creator);
    gobble(nullptr);
  }
}

TEST(ParserCreators, ParsersBuildTheMatchingDocument) {
  Object_Creator_T<YAJL_Handler>* backup = _make_Oscar_Backup_Job_Source_Parser_Creator(nullptr);
  YAJL_Handler* parser = backup->create();
  ASSERT_TRUE(parser->parse(DOCUMENTS[1], std::char_traits<char>::length(DOCUMENTS[1])));
  YAJL_Parser<Job_Source>::result_type src = static_cast<YAJL_Parser<Job_Source>*>(parser)->result();
  backup->destroy(parser);
  const oscar::Backup_Job_Source* b = dynamic_cast<const oscar::Backup_Job_Source*>(src.get());
  ASSERT_NE(nullptr, b) << "the result outlives its parser";
  EXPECT_EQ("inst", b->id());
  EXPECT_EQ(1u, b->entries().size());
  delete backup;

  Object_Creator_T<YAJL_Handler>* restore = _make_Oscar_Restore_Job_Source_Parser_Creator(nullptr);
  parser = restore->create();
  ASSERT_TRUE(parser->parse(DOCUMENTS[3], std::char_traits<char>::length(DOCUMENTS[3])));
  src = static_cast<YAJL_Parser<Job_Source>*>(parser)->result();
  restore->destroy(parser);
  const oscar::Restore_Job_Source* r = dynamic_cast<const oscar::Restore_Job_Source*>(src.get());
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(4u, r->seq());
  delete restore;
}

// A factory that counts fini() calls and notes its destruction.
struct Counting_Creator : Oscar_Backup_Job_Options_Parser_Creator {
  static int finis;
  static int finis_at_destruction;
  static int destroyed;
  int fini() override { return ++finis, 0; }
  ~Counting_Creator() override {
    finis_at_destruction = finis;
    ++destroyed;
  }
};
int Counting_Creator::finis = 0;
int Counting_Creator::finis_at_destruction = -1;
int Counting_Creator::destroyed = 0;

TEST(ParserCreators, GobbleCallsFiniOnceBeforeDestruction) {
  Make_Fn makers[] = {_make_Oscar_Backup_Job_Options_Parser_Creator, _make_Oscar_Backup_Job_Source_Parser_Creator,
                      _make_Oscar_Restore_Job_Options_Parser_Creator, _make_Oscar_Restore_Job_Source_Parser_Creator};
  for (Make_Fn make : makers) {
    Object_Creator_Exterminator gobble = nullptr;
    Object_Creator_T<YAJL_Handler>* own = make(&gobble);
    ASSERT_NE(nullptr, gobble);
    gobble(own);
    Counting_Creator::finis = 0;
    Counting_Creator::finis_at_destruction = -1;
    Counting_Creator::destroyed = 0;
    Object_Creator_T<YAJL_Handler>* counted = new Counting_Creator;
    gobble(static_cast<void*>(counted));
    EXPECT_EQ(1, Counting_Creator::finis);
    EXPECT_EQ(1, Counting_Creator::finis_at_destruction);
    EXPECT_EQ(1, Counting_Creator::destroyed);
    gobble(nullptr);
    EXPECT_EQ(1, Counting_Creator::destroyed);
  }
}

TEST(ParserCreators, NullGobblerStillGivesAWorkingFactory) {
  Object_Creator_T<YAJL_Handler>* creator = _make_Oscar_Restore_Job_Options_Parser_Creator(nullptr);
  ASSERT_NE(nullptr, creator);
  YAJL_Handler* parser = creator->create();
  ASSERT_NE(nullptr, parser);
  EXPECT_TRUE(parser->parse("{}", 2));
  creator->destroy(parser);
  delete creator;
}

}  // namespace
