// The parts of oscar-agent's export and import in process: the export
// and import definitions, and export sets in the catalogue listing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/catalog_listing.h"
#include "agent/job_documents.h"

namespace {

Instance instance(const std::string& name, const std::string& uuid) {
  Instance inst;
  inst.type = "oscar";
  inst.name = name;
  inst.uuid = uuid;
  return inst;
}

// An export set's row as view "oscar" gives it, with two files.
nlohmann::json export_row() {
  return {{"uuid", "S1"},
          {"host_uuid", "H"},
          {"definition_uuid", "D"},
          {"pool_uuid", "P"},
          {"seq", 4},
          {"grade", "schema"},
          {"backup_files",
           {{{"database", "DB1"}, {"schema", "APP"}, {"table", ""}, {"file", "/spool/d/DB1_DB1/APP.dmp"}},
            {{"database", "DB2"}, {"schema", "OPS"}, {"table", "LOG"}, {"file", "/spool/d/DB1_DB2/OPS.LOG.dmp"}}}}};
}

TEST(AgentExportDefinition, EntriesBecomeInstancePathsAndMalformedOnesAreRefused) {
  const Instance inst = instance("DB1", "3f1c2b4a-0000-4000-8000-000000000001");
  Export_Request request;
  request.entries = {"DB1", "DB1/APP", "DB1/APP/ORDERS"};
  request.pool_uuid = "P";
  request.compression = "zstd";
  request.level = 3;
  nlohmann::json def;
  std::string err;
  ASSERT_TRUE(export_definition(inst, "H", request, def, err)) << err;
  EXPECT_EQ("backup", def.at("type"));
  EXPECT_EQ("export", def.at("subtype"));
  EXPECT_EQ(nlohmann::json({"oscar/DB1/DB1", "oscar/DB1/DB1/APP", "oscar/DB1/DB1/APP/ORDERS"}),
            def.at("source").at("entries"));
  EXPECT_EQ(inst.uuid, def.at("source").at("id"));
  EXPECT_EQ("P", def.at("target").at("id"));
  EXPECT_EQ(3, def.at("options").at("compression_level"));
  // Its id names the spool's run directory: never a path.
  const std::string id = def.at("id").get<std::string>();
  EXPECT_EQ(std::string::npos, id.find('/'));
  EXPECT_NE(std::string::npos, id.find('-'));

  for (const char* bad : {"", "DB1/", "/APP", "DB1//APP", "DB1/APP/ORDERS/X"}) {
    request.entries = {bad};
    EXPECT_FALSE(export_definition(inst, "H", request, def, err)) << bad;
  }
  request.entries.clear();
  EXPECT_FALSE(export_definition(inst, "H", request, def, err));
}

TEST(AgentImportDefinition, PicksTheFileOfTheDatabaseAndRestoresAtItsLevelUnlessToldOtherwise) {
  const Instance target = instance("DB9", "3f1c2b4a-0000-4000-8000-000000000009");
  nlohmann::json def;
  std::string err;
  Import_Request request;
  ASSERT_TRUE(import_definition(target, "H", export_row(), request, def, err)) << err;
  const nlohmann::json& src = def.at("source");
  EXPECT_EQ("import", def.at("subtype"));
  EXPECT_EQ("S1", src.at("catalog_id"));
  EXPECT_EQ("D", src.at("backup_definition_id"));
  EXPECT_EQ("P", src.at("pool_uuid"));
  EXPECT_EQ(4, src.at("seq"));
  EXPECT_EQ("/spool/d/DB1_DB1/APP.dmp", src.at("original").at("backup_file"));
  EXPECT_EQ(nlohmann::json({{"database", "DB9"}, {"schema", "APP"}, {"table", ""}}), src.at("restore_as"));

  request.database = "DB2";
  ASSERT_TRUE(import_definition(target, "H", export_row(), request, def, err)) << err;
  EXPECT_EQ("/spool/d/DB1_DB2/OPS.LOG.dmp", def.at("source").at("original").at("backup_file"));
  EXPECT_EQ(nlohmann::json({{"database", "DB9"}, {"schema", "OPS"}, {"table", "LOG"}}),
            def.at("source").at("restore_as"));
  request.schema = "OPS2";
  request.table = "LOG2";
  ASSERT_TRUE(import_definition(target, "H", export_row(), request, def, err)) << err;
  EXPECT_EQ(nlohmann::json({{"database", "DB9"}, {"schema", "OPS2"}, {"table", "LOG2"}}),
            def.at("source").at("restore_as"));

  request.database = "DB3";
  EXPECT_FALSE(import_definition(target, "H", export_row(), request, def, err));
  EXPECT_EQ("export S1 holds no file of database DB3", err);
  nlohmann::json no_files = export_row();
  no_files.erase("backup_files");
  EXPECT_FALSE(import_definition(target, "H", no_files, Import_Request(), def, err));
  nlohmann::json no_pool = export_row();
  no_pool.erase("pool_uuid");
  EXPECT_FALSE(import_definition(target, "H", no_pool, Import_Request(), def, err));
}

TEST(AgentCatalogTable, ExportSetsShowTheirLevelAndContentsAmongPhysicalSetsByStartTime) {
  nlohmann::json physical = nlohmann::json::array();
  physical.push_back({{"backup_id", "B1"}, {"type", "full"}, {"backup_start_time", 100}});
  physical.push_back(
      {{"backup_id", "B2"}, {"type", "incremental"}, {"last_backup_id", "B1"}, {"backup_start_time", 300}});
  nlohmann::json exports = nlohmann::json::array();
  exports.push_back({{"backup_id", "S1"},
                     {"type", "export"},
                     {"level", "schema"},
                     {"contents", {"DB1/APP", "DB1/OPS/LOG"}},
                     {"backup_start_time", 200}});
  const nlohmann::json rows = merge_by_start_time(physical, exports);
  ASSERT_EQ(3u, rows.size());
  EXPECT_EQ("S1", rows[1].at("backup_id"));
  nlohmann::json records = nlohmann::json::array();
  for (const nlohmann::json& row : rows) records.push_back(catalog_record(row, Listing_Names()));
  EXPECT_EQ("schema", records[1].at("level"));
  const std::string table = format_catalog_table(records, 1000, false);
  EXPECT_NE(std::string::npos, table.find("export schema")) << table;
  EXPECT_NE(std::string::npos, table.find("DB1/APP, DB1/OPS/LOG")) << table;
  EXPECT_LT(table.find("B1"), table.find("S1"));
  EXPECT_LT(table.find("S1"), table.find("B2"));
}

}  // namespace
