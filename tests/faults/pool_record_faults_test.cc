// The pool is the record: a catalogue lost with its state directory, or
// deleted alone, is made again from the manifests in the pools; an agent
// killed between the steps of a commit or a removal leaves a pool that a
// rebuild reads back into a consistent catalogue; damaged manifests are
// reported and left out; two agents sharing a pool keep apart.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "host/base/fs_util.h"
#include "host/catalog/set_manifest.h"
#include "tests/faults/fault_fixture.h"
#include "tests/support/catalogue_records.h"
#include "tests/support/s3_server.h"

namespace {

using json = nlohmann::json;

const std::string KEY = "6f1c0e2a9b8d7c6e5f4a3b2c1d0e9f8a7b6c5d4e3f2a1b0c9d8e7f6a5b4c3d2e";
const std::string OTHER_KEY = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

enum class Pool_Kind { file, s3, cipher };

std::string this_host() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

std::string row_text(const json& row, const char* key) { return row.value(key, std::string()); }

class PoolRecord : public FaultSuite {
 protected:
  // Registers DB1 and p1 in the current state directory (SetUp did so
  // for the first one with a file pool); `key` is the cipher key of an
  // encrypted pool.
  void register_here(Pool_Kind kind, const std::string& key = KEY) {
    Run_Result r =
        agent({"instance", "add", "DB1", "--home", home_.root(), "--user", "sysdba", "--password-file", tmp_ / "pw"});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    add_pool(kind, key);
  }
  // Registers p1 of that kind, or (pool set) turns the registered p1 into it.
  void add_pool(Pool_Kind kind, const std::string& key = KEY) {
    const json reg = json::parse(read_file(state_ + "/pools.json"), nullptr, false);
    bool known = false;
    if (reg.is_object() && reg.contains("pools"))
      for (const json& p : reg["pools"]) known = known || p.value("name", "") == "p1";
    std::vector<std::string> args = {"pool", known ? "set" : "add", "p1", "--url", pool_url(kind)};
    if (kind == Pool_Kind::s3) {
      ASSERT_TRUE(server().running()) << server().error();
      ASSERT_TRUE(server().write_key_file(tmp_ / "s3.keys"));
      args.insert(args.end(), {"--endpoint", server().endpoint(), "--key-file", tmp_ / "s3.keys"});
    }
    if (kind == Pool_Kind::cipher) {
      const std::string file = tmp_ / ("key-" + key.substr(0, 4));
      ASSERT_TRUE(write_file(file, key + "\n"));
      ASSERT_EQ(0, ::chmod(file.c_str(), 0600));
      args.insert(args.end(), {"--cipher", "aes-256-gcm", "--cipher-key-file", file});
    }
    const Run_Result r = agent(args);
    ASSERT_EQ(0, r.status) << r.out << r.err;
  }
  std::string pool_url(Pool_Kind kind) {
    return kind == Pool_Kind::s3 ? "s3://" + server().bucket() + "/backups/db" : "file://" + pool_;
  }
  S3_Server& server() {
    if (!s3_) s3_ = std::make_unique<S3_Server>(tmp_ / "s3");
    return *s3_;
  }

  json listing(const std::string& name = "DB1") {
    std::vector<std::string> args = {"catalog"};
    if (!name.empty()) args.push_back(name);
    args.push_back("--json");
    const Run_Result r = agent(args);
    const json listed = json::parse(r.out, nullptr, false).value("backups", json());
    EXPECT_TRUE(listed.is_array()) << r.out << r.err;
    std::set<std::string> ids;
    for (const json& set : listed.is_array() ? listed : json::array()) ids.insert(row_text(set, "backup_id"));
    json records = json::array();
    for (const json& row : catalogue_records(state_))
      if (ids.count(row_text(row, "backup_id")) != 0) records.push_back(row);
    EXPECT_EQ(ids.size(), records.size()) << r.out;
    return records;
  }
  Run_Result rebuild(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"catalog", "rebuild"};
    args.insert(args.end(), extra.begin(), extra.end());
    return agent(args);
  }
  void forget_catalogue() {
    for (const char* f : {"/catalog.db", "/catalog.db-wal", "/catalog.db-shm"}) ::unlink((state_ + f).c_str());
  }
  std::string host_id() {
    return json::parse(read_file(state_ + "/agent.json"), nullptr, false).value("host_id", std::string());
  }
  static json by_id(json rows) {
    std::sort(rows.begin(), rows.end(),
              [](const json& a, const json& b) { return row_text(a, "backup_id") < row_text(b, "backup_id"); });
    return rows;
  }
  // The ids of the catalogued physical sets of DB1, oldest first.
  std::vector<std::string> chain() {
    std::vector<std::string> ids;
    for (const json& row : listing())
      if (row_text(row, "type") != "export") ids.push_back(row_text(row, "backup_id"));
    return ids;
  }

  std::unique_ptr<S3_Server> s3_;
};

class PoolRecordChain : public PoolRecord, public ::testing::WithParamInterface<Pool_Kind> {
 protected:
  void SetUp() override {
    PoolRecord::SetUp();
    if (HasFatalFailure() || GetParam() == Pool_Kind::file) return;
    add_pool(GetParam());
  }
};

TEST_P(PoolRecordChain, LostCatalogueAndLostStateAreRebuiltFromThePoolAndTheChainRestores) {
  ASSERT_EQ(0, home_.admin("create-table", {"SALES.ITEMS", "--rows", "200"}).status);
  const std::string items = home_.admin("table-checksum", {"SALES.ITEMS"}).out;
  std::vector<std::string> sums;
  for (const char* type : {"full", "incr", "diff"}) {
    const Run_Result r = backup(type, {"--compression", "zstd"});
    ASSERT_EQ(0, r.status) << type << ": " << r.out << r.err;
    sums.push_back(data_checksum());
    ASSERT_EQ(0, home_.admin("touch").status);
  }
  Run_Result r = agent({"export", "DB1", "--pool", "p1", "--entries", "DB1/SALES/ITEMS"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  const std::vector<std::string> taken = chain();
  ASSERT_EQ(3u, taken.size());
  const json before = listing("");
  ASSERT_GE(before.size(), 4u);
  const std::string all = std::to_string(before.size());

  // The catalogue alone is lost: the rebuild gives back the same listing.
  forget_catalogue();
  r = rebuild();
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "rebuild: " + all + " added, 0 already known, 0 damaged")) << r.out;
  // The same rows; sets committed within one second may come back in
  // another order.
  EXPECT_EQ(by_id(before).dump(2), by_id(listing("")).dump(2));
  r = rebuild();
  EXPECT_TRUE(contains(r.out, "rebuild: 0 added, " + all + " already known")) << r.out;

  // The whole state directory is lost: a new one in its place (so under
  // the same root as the fixed paths of a machine), with the same pool.
  ASSERT_EQ(0, rm_rf(state_));
  if (GetParam() == Pool_Kind::cipher) {
    register_here(GetParam(), OTHER_KEY);
    r = rebuild();
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "wrong cipher key")) << r.out;
    EXPECT_TRUE(listing().empty());
  }
  if (GetParam() == Pool_Kind::cipher)
    add_pool(GetParam());
  else
    register_here(GetParam());
  r = rebuild();
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, all + " of other hosts")) << r.out;
  EXPECT_TRUE(listing().empty()) << "another host's sets wait for --from-host";
  r = rebuild({"--from-host", this_host()});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "rebuild: " + all + " added")) << r.out;
  ASSERT_EQ(taken, chain());

  // The chain state agrees with the adopted chain: an incremental run
  // continues it.
  r = backup("incr");
  ASSERT_EQ(0, r.status) << r.out << r.err;
  // The newest physical row (an export taken in the same second sorts
  // beside it).
  const json rows = listing();
  json last;
  for (const json& row : rows)
    if (row_text(row, "type") != "export") last = row;
  EXPECT_EQ("incremental", row_text(last, "type")) << rows.dump();
  EXPECT_EQ(taken.back(), row_text(last, "last_backup_id")) << last.dump();

  for (std::size_t i = 0; i < taken.size(); ++i) {
    r = restore(taken[i]);
    ASSERT_EQ(0, r.status) << i << ": " << r.out << r.err;
    EXPECT_EQ(sums[i], data_checksum()) << "restore of set " << i;
  }
  std::string point;
  for (const json& row : rows)
    if (row_text(row, "type") == "export") point = row_text(row, "backup_id");
  ASSERT_FALSE(point.empty());
  ASSERT_EQ(0, home_.admin("drop", {"SALES.ITEMS"}).status);
  r = agent({"import", "DB1", "--point", point});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(items, home_.admin("table-checksum", {"SALES.ITEMS"}).out);
}

INSTANTIATE_TEST_SUITE_P(Pools, PoolRecordChain, ::testing::Values(Pool_Kind::file, Pool_Kind::s3, Pool_Kind::cipher),
                         [](const ::testing::TestParamInfo<Pool_Kind>& p) {
                           return p.param == Pool_Kind::file ? "File" : p.param == Pool_Kind::s3 ? "S3" : "Encrypted";
                         });

// Where an agent is killed: which request of the pool it waits on when
// the S3 server holds it, and what the pool and the catalogue then hold.
struct Crash_Point {
  const char* name;
  bool removal;        // killed during the expiry of the older chain, else during an incremental backup
  const char* kind;    // the request held
  const char* answer;  // "hold": not carried out; "stall": carried out
  bool manifest;       // the request is on the set's manifest, else on its file
  std::size_t rows, manifests, files, rows_after_rebuild;
};

class PoolRecordCrash : public PoolRecord, public ::testing::WithParamInterface<Crash_Point> {
 protected:
  void SetUp() override {
    PoolRecord::SetUp();
    if (!HasFatalFailure()) add_pool(Pool_Kind::s3);
  }
  std::size_t objects(bool manifests) {
    std::size_t n = 0;
    const std::string suffix = "._S3rver_object";
    for (const std::string& o : server().objects())
      n += is_manifest_name(o.substr(0, o.size() - suffix.size())) == manifests;
    return n;
  }
};

TEST_P(PoolRecordCrash, AgentKilledBetweenTheStepsLeavesWhatARebuildMakesConsistent) {
  const Crash_Point& c = GetParam();
  ASSERT_EQ(0, backup("full").status);
  ASSERT_EQ(0, home_.admin("touch").status);
  if (c.removal) {
    ASSERT_EQ(0, backup("full").status);
  }
  const std::string first_file = row_text(listing().at(0), "backup_file");
  ASSERT_TRUE(server().fail_next(c.kind, 1, c.answer, c.manifest ? ".manifest" : first_file));
  const std::vector<std::string> args =
      c.removal ? std::vector<std::string>{"expire", "DB1", "--keep-full", "1"}
                : std::vector<std::string>{"backup", "DB1", "--type", "incr", "--pool", "p1"};
  const Run_Result r = agent_signalled_when(
      args, [&] { return server().requests("held") > 0; }, SIGKILL);
  EXPECT_NE(0, r.status) << r.out << r.err;
  const std::string after = data_checksum();
  EXPECT_EQ(c.rows, catalogued_sets());
  EXPECT_EQ(c.manifests, objects(true));
  EXPECT_EQ(c.files, objects(false));
  EXPECT_TRUE(tools_left().empty());

  Run_Result rb = rebuild();
  EXPECT_EQ(0, rb.status) << rb.out << rb.err;
  EXPECT_EQ(c.rows_after_rebuild, catalogued_sets()) << rb.out;
  rb = agent({"verify", "DB1"});
  EXPECT_EQ(0, rb.status) << rb.out << rb.err;
  rb = restore();
  ASSERT_EQ(0, rb.status) << rb.out << rb.err;
  if (!c.removal && c.rows_after_rebuild == 2) {
    EXPECT_EQ(after, data_checksum()) << "the adopted set restores";
  }
  EXPECT_TRUE(fifos().empty()) << "the killed run's fifo is removed by the next run: " << fifos()[0];
  EXPECT_TRUE(server_running());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PoolRecordCrash,
    ::testing::Values(Crash_Point{"SetPublishedBeforeItsManifest", false, "put", "hold", true, 1, 1, 2, 1},
                      Crash_Point{"ManifestWrittenBeforeTheRow", false, "put", "stall", true, 1, 2, 2, 2},
                      Crash_Point{"RowRemovedBeforeTheManifest", true, "delete", "hold", true, 1, 2, 2, 2},
                      Crash_Point{"ManifestRemovedBeforeTheFiles", true, "delete", "hold", false, 1, 1, 2, 1}),
    [](const ::testing::TestParamInfo<Crash_Point>& p) { return p.param.name; });

// Rewrites the manifest of `id` in the file pool through `edit`.
void edit_manifest(const std::string& pool, const json& row, const std::function<void(std::string&)>& edit) {
  const std::string path = pool + "/" + row_text(row, "uri") + "/" + manifest_name(row_text(row, "uuid"));
  std::string text = read_file(path);
  ASSERT_FALSE(text.empty()) << path;
  edit(text);
  ASSERT_TRUE(write_file(path, text));
}

TEST_F(PoolRecord, DamagedManifestsAreReportedAndLeftOutTheOthersAdopted) {
  ASSERT_EQ(0, backup("full").status);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(0, home_.admin("touch").status);
    ASSERT_EQ(0, backup("incr").status);
  }
  const json rows = listing();
  ASSERT_EQ(6u, rows.size());
  edit_manifest(pool_, rows[1], [](std::string& t) { t[t.size() / 2] ^= 0x20; });
  edit_manifest(pool_, rows[2], [](std::string& t) { t.resize(t.size() / 2); });
  edit_manifest(pool_, rows[3], [](std::string& t) {
    json doc = json::parse(t);
    doc["format"] = 99;
    t = doc.dump();
  });
  // A whole manifest, its digest right, naming the full set's file.
  edit_manifest(pool_, rows[4], [&](std::string& t) {
    Set_Manifest m;
    std::string err;
    ASSERT_TRUE(parse_manifest(t, m, err)) << err;
    m.row["backup_file"] = rows[0].at("backup_file");
    m.row["pieces"] = json::array({rows[0].at("backup_file")});
    t = manifest_text(m);
  });
  forget_catalogue();
  const Run_Result r = rebuild();
  EXPECT_EQ(1, r.status) << r.out << r.err;
  const auto line_of = [&](const json& row) {
    const std::string name = manifest_name(row_text(row, "uuid"));
    std::size_t n = 0;
    std::string found;
    for (std::size_t at = 0; (at = r.out.find(name, at)) != std::string::npos; ++at, ++n)
      found = r.out.substr(r.out.rfind('\n', at) + 1, r.out.find('\n', at) - r.out.rfind('\n', at) - 1);
    EXPECT_EQ(1u, n) << name << " in\n" << r.out;
    return found;
  };
  EXPECT_TRUE(contains(line_of(rows[1]), "damaged p1:")) << r.out;
  EXPECT_TRUE(contains(line_of(rows[2]), "damaged p1:")) << r.out;
  EXPECT_TRUE(contains(line_of(rows[3]), "unknown format version 99")) << r.out;
  EXPECT_TRUE(contains(line_of(rows[4]), "is named by another set's manifest too")) << r.out;
  EXPECT_TRUE(contains(line_of(rows[0]), "is named by another set's manifest too")) << r.out;
  EXPECT_TRUE(contains(r.out, "rebuild: 1 added, 0 already known, 5 damaged")) << r.out;
  EXPECT_EQ(std::vector<std::string>{row_text(rows[5], "backup_id")}, backup_ids());
}

TEST_F(PoolRecord, TwoAgentsSharingAPoolKeepTheirSetsApart) {
  const std::string a = state_, b = tmp_ / "state-b";
  ASSERT_EQ(0, backup("full").status);
  state_ = b;
  register_here(Pool_Kind::file);
  ASSERT_EQ(0, home_.admin("touch").status);
  // B's catalogue lacks the set the chain state names: its incremental
  // run is a full one.
  Run_Result r = backup("incr");
  ASSERT_EQ(0, r.status) << r.out << r.err;
  const json b_rows = listing();
  ASSERT_EQ(1u, b_rows.size());
  EXPECT_EQ("full", row_text(b_rows[0], "type"));
  const std::string b_host = host_id();
  ASSERT_FALSE(b_host.empty());
  state_ = a;
  ASSERT_EQ(0, home_.admin("touch").status);
  ASSERT_EQ(0, backup("full").status);
  const std::vector<std::string> a_ids = backup_ids();
  ASSERT_EQ(2u, a_ids.size());

  r = agent({"expire", "DB1", "--keep-full", "1"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(std::vector<std::string>{a_ids[1]}, backup_ids());
  EXPECT_EQ(2u, pool_files().size()) << "A's newest and B's set";
  EXPECT_EQ(2u, pool_manifests().size());

  for (const std::string& s : {a, b}) {
    state_ = s;
    forget_catalogue();
    r = rebuild();
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "rebuild: 1 added, 0 already known, 0 damaged, 0 missing, 1 of other hosts")) << r.out;
  }
  EXPECT_EQ(std::vector<std::string>{row_text(b_rows[0], "backup_id")}, backup_ids());
  state_ = a;
  EXPECT_EQ(std::vector<std::string>{a_ids[1]}, backup_ids());
  r = rebuild({"--from-host", b_host});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(2u, backup_ids().size());
  r = agent({"verify", "DB1"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

}  // namespace
