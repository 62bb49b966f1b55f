#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oscar/backup_job_options.h"
#include "oscar/backup_job_options_parser.h"
#include "oscar/backup_job_source.h"
#include "oscar/backup_job_source_parser.h"
#include "oscar/restore_job_options.h"
#include "oscar/restore_job_options_parser.h"
#include "oscar/restore_job_source.h"
#include "oscar/restore_job_source_parser.h"
#include "tests/support/json_gen.h"
#include "tests/support/log_capture.h"

namespace {

using oscar::Backup_Job_Options;
using oscar::Backup_Job_Options_Parser;
using oscar::Backup_Job_Source;
using oscar::Backup_Job_Source_Parser;
using oscar::Restore_Job_Options;
using oscar::Restore_Job_Options_Parser;
using oscar::Restore_Job_Source;
using oscar::Restore_Job_Source_Parser;

// Parses text with a fresh parser of type P; keeps the parser for its
// result and error code, and the log records of the parse.
template <typename P>
struct Parse {
  explicit Parse(const std::string& text) {
    Log_Capture cap;
    ok = parser.parse(text.data(), text.size());
    logs = cap.texts();
  }
  P parser;
  bool ok;
  std::vector<std::string> logs;
  int code() const { return parser.error_code(); }
};

template <typename Doc, typename P>
const Doc& doc(P& parser) {
  static typename P::result_type keep;
  keep = parser.result();
  return *static_cast<Doc*>(keep.get());
}

const Backup_Job_Options& options(Parse<Backup_Job_Options_Parser>& p) { return doc<Backup_Job_Options>(p.parser); }
const Backup_Job_Source& source(Parse<Backup_Job_Source_Parser>& p) { return doc<Backup_Job_Source>(p.parser); }
const Restore_Job_Source& source(Parse<Restore_Job_Source_Parser>& p) { return doc<Restore_Job_Source>(p.parser); }
const Restore_Job_Options& options(Parse<Restore_Job_Options_Parser>& p) { return doc<Restore_Job_Options>(p.parser); }

const std::string LACK_ID = "Failed to parse job definition source, lack of 'id'.\n";
const std::string LACK_ENTRIES = "Failed to parse job definition source, lack of 'entries'.\n";
const std::string LACK_DATABASE = "Failed to parse job definition source, lack of 'database'.\n";

TEST(BackupJobOptionsParser, ReadsCompressionAndLevel) {
  Parse<Backup_Job_Options_Parser> p(R"({"compression":"zstd","compression_level":7})");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(COMPR_ZSTD, options(p).compression());
  EXPECT_EQ(7, options(p).compression_level());
}

TEST(BackupJobOptionsParser, DefaultsWhenKeysAbsent) {
  Parse<Backup_Job_Options_Parser> level(R"({"compression_level":5})");
  ASSERT_TRUE(level.ok);
  EXPECT_EQ(COMPR_NONE, options(level).compression());
  EXPECT_EQ(5, options(level).compression_level());
  Parse<Backup_Job_Options_Parser> empty("{}");
  ASSERT_TRUE(empty.ok);
  EXPECT_EQ(COMPR_NONE, options(empty).compression());
  EXPECT_EQ(1, options(empty).compression_level());
}

TEST(BackupJobOptionsParser, WrongValueKindsAreNotStored) {
  Parse<Backup_Job_Options_Parser> p(R"({"compression_level":"9","compression":3})");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(1, options(p).compression_level());
  EXPECT_EQ(COMPR_NONE, options(p).compression());
}

TEST(BackupJobOptionsParser, UnknownMemberIsIgnoredAndChangesNoOtherMember) {
  Parse<Backup_Job_Options_Parser> p(R"({"compression":"lzop","unknown":"zstd","level":"x"})");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(COMPR_LZOP, options(p).compression());
  Parse<Backup_Job_Options_Parser> n(R"({"compression_level":3,"unknown":4})");
  ASSERT_TRUE(n.ok);
  EXPECT_EQ(3, options(n).compression_level());
}

TEST(BackupJobOptionsParser, ValuesInNestedContainersFailWithCode9) {
  for (const char* text :
       {R"({"x":{"compression":"zstd"}})", R"({"compression":["zstd"]})", R"({"a":[5]})", R"("zstd")", "5"}) {
    Parse<Backup_Job_Options_Parser> p(text);
    EXPECT_FALSE(p.ok) << text;
    EXPECT_EQ(9, p.code()) << text;
  }
  Parse<Backup_Job_Options_Parser> empty_nested(R"({"x":{},"y":[],"compression":"lzop"})");
  ASSERT_TRUE(empty_nested.ok);
  EXPECT_EQ(COMPR_LZOP, options(empty_nested).compression());
}

TEST(BackupJobOptionsParser, HugeLevelDoesNotBreakTheParse) {
  Parse<Backup_Job_Options_Parser> p(R"({"compression_level":99999999999999999999999999999999})");
  EXPECT_TRUE(p.ok);
}

TEST(BackupJobSourceParser, ReadsIdNameAndEntriesInOrder) {
  Parse<Backup_Job_Source_Parser> p(R"({"id":"i1","name":"prod","entries":["oscar/a/db1","oscar/a/db2/s"]})");
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(p.logs.empty());
  EXPECT_EQ("i1", source(p).id());
  EXPECT_EQ("prod", source(p).name());
  EXPECT_EQ((std::vector<std::string>{"oscar/a/db1", "oscar/a/db2/s"}), source(p).entries());
}

TEST(BackupJobSourceParser, EmptyEntriesArrayCountsAsPresent) {
  Parse<Backup_Job_Source_Parser> p(R"({"entries":[],"id":"i1"})");
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(source(p).entries().empty());
}

TEST(BackupJobSourceParser, MissingRequiredKeysAreLoggedInIdOrder) {
  Parse<Backup_Job_Source_Parser> id_only(R"({"id":"i1"})");
  EXPECT_FALSE(id_only.ok);
  EXPECT_EQ(7, id_only.code());
  EXPECT_EQ((std::vector<std::string>{LACK_ENTRIES}), id_only.logs);
  EXPECT_EQ("i1", source(id_only).id()) << "what was stored before the stop stays";

  Parse<Backup_Job_Source_Parser> empty("{}");
  EXPECT_FALSE(empty.ok);
  EXPECT_EQ(7, empty.code());
  EXPECT_EQ((std::vector<std::string>{LACK_ID, LACK_ENTRIES}), empty.logs);
}

TEST(BackupJobSourceParser, UnknownMemberIsIgnoredAndChangesNoOtherMember) {
  Parse<Backup_Job_Source_Parser> p(R"({"id":"first","unknown":"second","more":["x"],"entries":["oscar/a/b"]})");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ("first", source(p).id());
  EXPECT_EQ(std::vector<std::string>({"oscar/a/b"}), source(p).entries());
  Parse<Backup_Job_Source_Parser> before_any(R"({"unknown":"x","id":"i","entries":[]})");
  ASSERT_TRUE(before_any.ok);
  EXPECT_EQ("i", source(before_any).id());
}

TEST(BackupJobSourceParser, EntriesAsTextFailsWithCode9) {
  Parse<Backup_Job_Source_Parser> p(R"({"id":"i","entries":"oscar/a/db"})");
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(9, p.code());
}

TEST(BackupJobSourceParser, NestedValuesOutsideEntries) {
  Parse<Backup_Job_Source_Parser> ignored(R"({"id":"i","x":{"a":"b"},"list":["z"],"entries":["e"]})");
  ASSERT_TRUE(ignored.ok);
  EXPECT_EQ("i", source(ignored).id());
  EXPECT_EQ((std::vector<std::string>{"e"}), source(ignored).entries());
  Parse<Backup_Job_Source_Parser> deep(R"({"id":"i","entries":[["e"]]})");
  EXPECT_FALSE(deep.ok);
  EXPECT_EQ(9, deep.code());
  Parse<Backup_Job_Source_Parser> bare(R"("text")");
  EXPECT_FALSE(bare.ok);
  EXPECT_EQ(9, bare.code());
}

TEST(BackupJobSourceParser, NonTextValuesStopTheParse) {
  for (const char* text : {R"({"id":1,"entries":[]})", R"({"id":"i","entries":[null]})", R"({"id":true})"}) {
    Parse<Backup_Job_Source_Parser> p(text);
    EXPECT_FALSE(p.ok) << text;
  }
}

TEST(RestoreJobSourceParser, ReadsEveryField) {
  Parse<Restore_Job_Source_Parser> p(R"({"id":"i","name":"n","backup_host_id":"h","backup_definition_id":"d",)"
                                     R"("seq":42,"pool_uuid":"p","catalog_id":"c",)"
                                     R"("original":{"database":"db","schema":"s","table":"t","backup_file":"f"},)"
                                     R"("restore_as":{"database":"db2","schema":"s2","table":"t2"}})");
  ASSERT_TRUE(p.ok);
  const Restore_Job_Source& s = source(p);
  EXPECT_EQ("i", s.id());
  EXPECT_EQ("n", s.name());
  EXPECT_EQ("h", s.backup_host_id());
  EXPECT_EQ("d", s.backup_definition_id());
  EXPECT_EQ(42u, s.seq());
  EXPECT_EQ("p", s.pool_uuid());
  EXPECT_EQ("c", s.catalog_id());
  EXPECT_EQ("db", s.get_original().database);
  EXPECT_EQ("s", s.get_original().schema);
  EXPECT_EQ("t", s.get_original().table);
  EXPECT_EQ("f", s.get_original().backup_file);
  EXPECT_EQ("db2", s.get_restore_as().database);
  EXPECT_EQ("s2", s.get_restore_as().schema);
  EXPECT_EQ("t2", s.get_restore_as().table);
}

TEST(RestoreJobSourceParser, OnlyIdIsRequired) {
  Parse<Restore_Job_Source_Parser> p(R"({"id":"i"})");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(0u, source(p).seq());
  EXPECT_TRUE(source(p).catalog_id().empty());
  EXPECT_TRUE(source(p).get_original().database.empty());
  Parse<Restore_Job_Source_Parser> none(R"({"name":"n"})");
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(7, none.code());
  EXPECT_EQ((std::vector<std::string>{LACK_ID}), none.logs);
}

TEST(RestoreJobSourceParser, NestedObjectsRequireDatabase) {
  for (const char* text : {R"({"id":"i","original":{"schema":"s"}})", R"({"id":"i","restore_as":{}})"}) {
    Parse<Restore_Job_Source_Parser> p(text);
    EXPECT_FALSE(p.ok) << text;
    EXPECT_EQ(7, p.code()) << text;
    EXPECT_EQ((std::vector<std::string>{LACK_DATABASE}), p.logs) << text;
  }
}

TEST(RestoreJobSourceParser, SeqKindsAndRange) {
  Parse<Restore_Job_Source_Parser> text_seq(R"({"id":"i","seq":"5"})");
  EXPECT_FALSE(text_seq.ok);
  EXPECT_EQ(9, text_seq.code());
  Parse<Restore_Job_Source_Parser> max(R"({"id":"i","seq":18446744073709551615})");
  ASSERT_TRUE(max.ok);
  EXPECT_EQ(18446744073709551615ULL, source(max).seq());
  Parse<Restore_Job_Source_Parser> huge(R"({"id":"i","seq":1234567890123456789012345678901234567890})");
  EXPECT_TRUE(huge.ok);
}

TEST(RestoreJobSourceParser, NumberForIdCountsAsPresentButSetsNothing) {
  Parse<Restore_Job_Source_Parser> p(R"({"id":12})");
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(source(p).id().empty());
}

TEST(RestoreJobSourceParser, UnknownMemberIsIgnoredAndChangesNoOtherMember) {
  // Left to the member before it, "bogus" would name another database to
  // restore into.
  Parse<Restore_Job_Source_Parser> p(
      R"({"id":"i","original":{"database":"a","bogus":"b"},"restore_as":{"database":"c","x":"d"},"note":"e"})");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ("a", source(p).get_original().database);
  EXPECT_EQ("c", source(p).get_restore_as().database);
  EXPECT_EQ("i", source(p).id());
}

TEST(RestoreJobSourceParser, ValuesWhereNoneIsAllowedFailWithCode9) {
  for (const char* text :
       {R"({"id":"i","original":"x"})", R"({"id":"i","restore_as":"x"})",
        R"({"id":"i","original":{"database":{"x":"y"}}})", R"({"id":"i","o":{"seq":5}})", R"("bare")", "7"}) {
    Parse<Restore_Job_Source_Parser> p(text);
    EXPECT_FALSE(p.ok) << text;
    EXPECT_EQ(9, p.code()) << text;
  }
}

TEST(RestoreJobSourceParser, ArraysAreSkippedUnderUnknownMembersAndRefusedUnderKnownOnes) {
  Parse<Restore_Job_Source_Parser> p(R"({"id":"i","x":[["deep"],[],{"y":"z"},7],"catalog_id":"c"})");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ("c", source(p).catalog_id());
  // A list of backup points or of databases is never read as its last one.
  for (const char* text :
       {R"({"id":"i","catalog_id":["a","b"]})", R"({"id":["i"]})", R"({"id":"i","seq":[5]})",
        R"({"id":"i","restore_as":{"database":["a","b"]}})", R"({"id":"i","original":[{"database":"x"}]})"}) {
    Parse<Restore_Job_Source_Parser> bad(text);
    EXPECT_FALSE(bad.ok) << text;
    EXPECT_EQ(9, bad.code()) << text;
  }
}

TEST(RestoreJobOptionsParser, AcceptsAnyObjectOfTexts) {
  for (const char* text : {"{}", R"({"a":"b","c":{"d":"e"},"f":["g"]})"}) {
    Parse<Restore_Job_Options_Parser> p(text);
    EXPECT_TRUE(p.ok) << text;
    EXPECT_NE(nullptr, p.parser.result().get());
  }
  Parse<Restore_Job_Options_Parser> bare(R"("x")");
  EXPECT_FALSE(bare.ok);
  EXPECT_EQ(9, bare.code());
}

TEST(RestoreJobOptionsParser, VerifyIsOnUnlessTheTopLevelMemberTurnsItOff) {
  Parse<Restore_Job_Options_Parser> none("{}");
  ASSERT_TRUE(none.ok);
  EXPECT_TRUE(options(none).verify());
  Parse<Restore_Job_Options_Parser> off(R"({"a":"b","verify":false,"c":{"d":"e"}})");
  ASSERT_TRUE(off.ok);
  EXPECT_FALSE(options(off).verify());
  Parse<Restore_Job_Options_Parser> on(R"({"verify":true})");
  ASSERT_TRUE(on.ok);
  EXPECT_TRUE(options(on).verify());
  // Only the top-level member counts; booleans of other members are ignored.
  for (const char* text : {R"({"x":{"verify":false}})", R"({"x":[{"verify":false}]})", R"({"other":false})"}) {
    Parse<Restore_Job_Options_Parser> p(text);
    ASSERT_TRUE(p.ok) << text;
    EXPECT_TRUE(options(p).verify()) << text;
  }
}

TEST(RestoreJobOptionsParser, VerifyThatIsNotABooleanIsRefused) {
  for (const char* text : {R"({"verify":"false"})", R"({"verify":[false]})", R"({"verify":{"x":false}})"}) {
    Parse<Restore_Job_Options_Parser> p(text);
    EXPECT_FALSE(p.ok) << text;
    EXPECT_EQ(9, p.code()) << text;
  }
  EXPECT_FALSE(Parse<Restore_Job_Options_Parser>(R"({"verify":0})").ok);
  EXPECT_FALSE(Parse<Restore_Job_Options_Parser>(R"({"verify":null})").ok);
  Parse<Restore_Job_Options_Parser> bare("false");
  EXPECT_FALSE(bare.ok);
  EXPECT_EQ(9, bare.code());
}

TEST(JobDocumentParsers, DeepNestingIsRefusedWithoutGrowingState) {
  const std::string deep_maps = [] {
    std::string s;
    for (int i = 0; i < 100000; ++i) s += "{\"a\":";
    s += "\"x\"";
    for (int i = 0; i < 100000; ++i) s += "}";
    return s;
  }();
  const std::string deep_arrays =
      "{\"id\":\"i\",\"entries\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  Parse<Backup_Job_Options_Parser> o(deep_maps);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(9, o.code());
  Parse<Backup_Job_Source_Parser> s(deep_arrays);
  EXPECT_FALSE(s.ok);
  EXPECT_EQ(9, s.code());
  Parse<Restore_Job_Source_Parser> r(deep_maps);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(9, r.code());
  Parse<Restore_Job_Options_Parser> ro(deep_maps);
  EXPECT_FALSE(ro.ok);
  Parse<Backup_Job_Source_Parser> moderate(R"({"id":"i","entries":[],"x":[[[[[[{"a":[]}]]]]]]})");
  EXPECT_TRUE(moderate.ok);
}

TEST(JobDocumentParsers, GarbageNeverPasses) {
  const std::vector<std::string> garbage = {
      "", "{", "{\"id\":", "\xff\xff", "{\"id\":\"\xc3\x28\"}", "[}", "{]", "{\"id\":\"i\",\"entries\":[]}}", "\x00{}"};
  for (const std::string& text : garbage) {
    EXPECT_FALSE(Parse<Backup_Job_Options_Parser>(text).ok);
    EXPECT_FALSE(Parse<Backup_Job_Source_Parser>(text).ok);
    EXPECT_FALSE(Parse<Restore_Job_Options_Parser>(text).ok);
    EXPECT_FALSE(Parse<Restore_Job_Source_Parser>(text).ok);
  }
}

std::string gen(Job_Options& o) {
  int rc = -1;
  std::string json = generate_json([&o](yajl_gen_t* g) { return o.generate(g); }, &rc);
  EXPECT_EQ(0, rc);
  return json;
}

std::string gen(const Job_Source& s) {
  int rc = -1;
  std::string json = generate_json([&s](yajl_gen_t* g) { return s.generate(g); }, &rc);
  EXPECT_EQ(0, rc);
  return json;
}

TEST(JobDocumentGenerate, BackupOptionsRoundTrip) {
  Backup_Job_Options none;
  EXPECT_EQ(R"({"compression_level":1})", gen(none));
  Backup_Job_Options o;
  o.compression(COMPR_LZOP);
  o.compression_level(-3);
  const std::string json = gen(o);
  EXPECT_EQ(R"({"compression":"lzop","compression_level":-3})", json);
  Parse<Backup_Job_Options_Parser> back(json);
  ASSERT_TRUE(back.ok);
  EXPECT_EQ(COMPR_LZOP, options(back).compression());
  EXPECT_EQ(-3, options(back).compression_level());
}

TEST(JobDocumentGenerate, BackupSourceRoundTrip) {
  Backup_Job_Source s;
  s.id("i\"1");
  s.name("n\xc3\xa9");
  s.entries() = {"oscar/a/b", "oscar/a/c/d"};
  const std::string json = gen(s);
  Parse<Backup_Job_Source_Parser> back(json);
  ASSERT_TRUE(back.ok) << json;
  EXPECT_EQ(s.id(), source(back).id());
  EXPECT_EQ(s.name(), source(back).name());
  EXPECT_EQ(s.entries(), source(back).entries());
}

TEST(JobDocumentGenerate, BackupSourceWithoutEntriesDoesNotParseBack) {
  Backup_Job_Source s;
  s.id("i");
  const std::string json = gen(s);
  EXPECT_EQ(R"({"id":"i"})", json);
  Parse<Backup_Job_Source_Parser> back(json);
  EXPECT_FALSE(back.ok);
  EXPECT_EQ(7, back.code());
}

TEST(JobDocumentGenerate, RestoreSourceRoundTrip) {
  Restore_Job_Source s;
  s.id("i");
  s.name("n");
  s.backup_host_id("h");
  s.backup_definition_id("d");
  s.seq(18446744073709551615ULL);
  s.pool_uuid("p");
  s.catalog_id("c");
  s.get_original() = {"db", "", "t", "f"};
  s.get_restore_as() = {"db2", "s2", ""};
  const std::string json = gen(s);
  EXPECT_EQ(R"({"id":"i","seq":18446744073709551615,"name":"n","backup_host_id":"h","backup_definition_id":"d",)"
            R"("pool_uuid":"p","catalog_id":"c","original":{"database":"db","table":"t","backup_file":"f"},)"
            R"("restore_as":{"database":"db2","schema":"s2"}})",
            json);
  Parse<Restore_Job_Source_Parser> back(json);
  ASSERT_TRUE(back.ok);
  const Restore_Job_Source& r = source(back);
  EXPECT_EQ(s.seq(), r.seq());
  EXPECT_EQ("h", r.backup_host_id());
  EXPECT_EQ("d", r.backup_definition_id());
  EXPECT_EQ("p", r.pool_uuid());
  EXPECT_EQ("c", r.catalog_id());
  EXPECT_EQ("f", r.get_original().backup_file);
  EXPECT_EQ("s2", r.get_restore_as().schema);
}

TEST(JobDocumentGenerate, EmptyRestoreSourceDoesNotParseBack) {
  Restore_Job_Source s;
  const std::string json = gen(s);
  EXPECT_EQ(R"({"id":"","seq":0,"original":{},"restore_as":{}})", json);
  Parse<Restore_Job_Source_Parser> back(json);
  EXPECT_FALSE(back.ok);
  EXPECT_EQ(7, back.code());
  EXPECT_EQ((std::vector<std::string>{LACK_DATABASE}), back.logs);
}

TEST(JobDocumentGenerate, RestoreOptionsAreAnEmptyObject) {
  Restore_Job_Options o;
  EXPECT_EQ("{}", gen(o));
  EXPECT_TRUE(Parse<Restore_Job_Options_Parser>("{}").ok);
}

TEST(JobDocumentGenerate, RestoreOptionsWithVerifyingOffParseBack) {
  Restore_Job_Options o;
  o.verify(false);
  const std::string json = gen(o);
  EXPECT_EQ(R"({"verify":false})", json);
  Parse<Restore_Job_Options_Parser> back(json);
  ASSERT_TRUE(back.ok);
  EXPECT_FALSE(options(back).verify());
}

TEST(JobDocumentGenerate, RefusedWritesAreReported) {
  Backup_Job_Source s;
  s.id("i");
  int rc = 0;
  generate_json(
      [&s](yajl_gen_t* g) {
        s.generate(g);
        return s.generate(g);  // a second top-level value is refused
      },
      &rc);
  EXPECT_EQ(-1, rc);
}

}  // namespace
