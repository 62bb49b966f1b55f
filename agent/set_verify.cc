#include "agent/set_verify.h"

#include <cstdio>
#include <vector>

#include "agent/catalog_listing.h"
#include "agent/commands.h"
#include "agent/job_documents.h"
#include "agent/state_dir.h"
#include "host/catalog/backup_set.h"
#include "host/catalog/catalog_operator.h"
#include "host/services/instance_manager.h"
#include "host/storage/client_io_ex.h"
#include "host/storage/pool_info.h"

namespace {

std::string text_or(const nlohmann::json& row, const char* key, const char* otherwise) {
  const auto it = row.is_object() ? row.find(key) : row.end();
  return row.is_object() && it != row.end() && it->is_string() ? it->get<std::string>() : std::string(otherwise);
}

// Where the set is stored: its pool's URL, its folder and its file.
bool storage_target(const nlohmann::json& row, std::string& url, Client_IO_Base::Options& opts, std::string& why) {
  const std::string pool = text_or(row, "pool_uuid", "");
  const std::string uri = text_or(row, "uri", "");
  if (pool.empty() || uri.empty()) {
    why = "its catalogue row names no pool_uuid or uri";
    return false;
  }
  Pool_Info info;
  if (!get_pool_info(pool.c_str(), nullptr, info, false, 0, nullptr)) {
    why = "pool " + pool + " is not registered";
    return false;
  }
  opts.compression_method = COMPR_AUTO;
  if (!set_options_by_pool(opts, info)) {
    why = "the settings of pool " + pool + " are not usable";
    return false;
  }
  url = info.url + "/" + uri;
  return true;
}

// The sets to check: the chain of `point` (full first), or every set of the
// resource, oldest first.
bool sets_to_check(const std::string& resource, const std::string& point, nlohmann::json& rows, std::string& err) {
  if (point.empty()) return backup_rows(resource, rows, err);
  Catalog_Operator op;
  nlohmann::json result;
  if (!op.get_view("oscar_brcmd", "catalog_sequences", {{"backup_id", point}, {"resource_uuid", resource}}, result) ||
      !result.is_object() || !result.contains("rows") || !result["rows"].is_array()) {
    err = "cannot read the chain of " + point + ": " +
          (op.error().empty() ? std::string("unexpected answer") : op.error());
    return false;
  }
  rows = result["rows"];
  if (rows.empty()) {
    err = "the catalogue holds no backup " + point + " of this instance";
    return false;
  }
  return true;
}

}  // namespace

Set_Check_Result check_stored_set(const nlohmann::json& row, std::string& line) {
  const std::string file = text_or(row, "backup_file", "");
  line = text_or(row, "backup_id", "?") + " " + (file.empty() ? "?" : file) + " ";
  const auto storages = row.is_object() ? row.find("storages") : row.end();
  Backup_Set_Storage storage;
  std::string why;
  if (!row.is_object() || storages == row.end() || !storages->is_array() || storages->empty()) {
    why = "its catalogue row has no storage entry";
  } else if (!Backup_Set_Storage::from_json(storages->at(0), storage, why)) {
    why = "its catalogue row is malformed: " + why;
  } else if (file.empty()) {
    why = "its catalogue row names no backup_file";
  }
  if (why.empty() && storage.digest().empty()) {
    line += "not verified: no digest recorded";
    return SET_NOT_VERIFIED;
  }
  std::string url;
  Client_IO_Base::Options opts;
  if (why.empty() && storage_target(row, url, opts, why)) {
    Client_IO_Ex io;
    if (!io.connect(url, opts) || !io.verify(file.c_str(), storage.size(), storage.digest())) why = io.error();
  }
  if (!why.empty()) {
    line += "MISMATCH: " + why;
    return SET_MISMATCH;
  }
  line += "ok";
  return SET_OK;
}

int verify_command(const Command_Line& line) {
  std::string err;
  const std::string pool = option_value(line, "pool");
  if (pool.empty() == (line.words.size() < 2))
    return fail(EXIT_USAGE, "verify: name either an instance or --pool POOL");
  if (!pool.empty() && line.options.count("point") != 0)
    return fail(EXIT_USAGE, "verify: --point is for an instance's chain, not for --pool");
  if (!pool.empty()) return verify_pool_command(option_value(line, "state"), pool);
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  Instance_ptr inst = Instance_Manager::instance()->find("oscar", line.words[1]);
  if (!inst) return fail(EXIT_FAILED, "verify: unknown instance \"" + line.words[1] + "\"");
  nlohmann::json rows;
  if (!sets_to_check(resource_id(*inst), option_value(line, "point"), rows, err))
    return fail(EXIT_FAILED, "verify: " + err);
  bool all_match = true;
  for (const nlohmann::json& row : rows) {
    std::string report;
    if (check_stored_set(row, report) == SET_MISMATCH) all_match = false;
    std::printf("%s\n", report.c_str());
  }
  if (rows.empty()) std::printf("no backup sets of %s are catalogued\n", inst->name.c_str());
  std::fflush(stdout);
  return all_match ? EXIT_OK : EXIT_FAILED;
}
