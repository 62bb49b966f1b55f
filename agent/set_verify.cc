#include "agent/set_verify.h"

#include <cstdio>
#include <vector>

#include "agent/catalog_listing.h"
#include "agent/commands.h"
#include "agent/job_documents.h"
#include "agent/json_output.h"
#include "agent/state_dir.h"
#include "host/catalog/backup_set.h"
#include "host/catalog/catalog_operator.h"
#include "host/catalog/set_manifest.h"
#include "host/services/instance_manager.h"
#include "host/storage/client_io_ex.h"
#include "host/storage/pool_info.h"

namespace {

std::string text_or(const nlohmann::json& row, const char* key, const char* otherwise) {
  const auto it = row.is_object() ? row.find(key) : row.end();
  return row.is_object() && it != row.end() && it->is_string() ? it->get<std::string>() : std::string(otherwise);
}

// Where the set is stored: its pool's URL and folder, and the pool's name
// (its uuid until it is known to be registered).
bool storage_target(const nlohmann::json& row, std::string& url, std::string& pool_name, Client_IO_Base::Options& opts,
                    std::string& why) {
  const std::string pool = text_or(row, "pool_uuid", "");
  const std::string uri = text_or(row, "uri", "");
  pool_name = pool;
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
  pool_name = info.name.empty() ? pool : info.name;
  return true;
}

// The usable storage entry of a row and its file; false with why.
bool recorded_storage(const nlohmann::json& row, const std::string& file, Backup_Set_Storage& storage,
                      std::string& why) {
  const auto storages = row.is_object() ? row.find("storages") : row.end();
  if (!row.is_object() || storages == row.end() || !storages->is_array() || storages->empty()) {
    why = "its catalogue row has no storage entry";
  } else if (!Backup_Set_Storage::from_json(storages->at(0), storage, why)) {
    why = "its catalogue row is malformed: " + why;
  } else if (file.empty()) {
    why = "its catalogue row names no backup_file";
  }
  return why.empty();
}

// Compares the stored file with its record: present, of the recorded
// stored size, and (digests) of the recorded digest.
Set_Check_Result check_file(const nlohmann::json& row, const std::string& file, const Backup_Set_Storage& storage,
                            Set_Check_Depth depth, std::string& why, Set_Check_Detail& detail) {
  std::string url;
  std::string& pool = detail.pool;
  Client_IO_Base::Options opts;
  if (!storage_target(row, url, pool, opts, why)) return SET_UNCHECKED;
  Client_IO_Ex io;
  unsigned long long size = 0;
  const int found = io.connect(url, opts) ? io.stored_size(file.c_str(), size) : -1;
  if (found < 0) {
    why = io.error();
    return SET_UNCHECKED;
  }
  if (found == 0) {
    why = "pool " + pool + " holds no such file (" + url + "/" + file + ")";
    return SET_MISSING;
  }
  detail.size_found = static_cast<long long>(size);
  if (size != storage.size()) {
    why = "stored size " + std::to_string(size) + ", recorded " + std::to_string(storage.size());
    return SET_MISMATCH;
  }
  if (depth == Set_Check_Depth::sizes) return SET_OK;
  if (storage.digest().empty()) return SET_NOT_VERIFIED;
  if (io.verify(file.c_str(), storage.size(), storage.digest())) return SET_OK;
  why = io.error();
  return SET_MISMATCH;
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

const char* set_check_word(Set_Check_Result result) {
  static const char* const WORDS[] = {"ok", "MISSING", "MISMATCH", "not verified", "cannot check"};
  return WORDS[result];
}

Set_Check_Result check_stored_set(const nlohmann::json& row, std::string& line, Set_Check_Depth depth,
                                  Set_Check_Detail* detail) {
  Set_Check_Detail own;
  Set_Check_Detail& d = detail != nullptr ? *detail : own;
  d = Set_Check_Detail();
  const std::string file = text_or(row, "backup_file", "");
  line = text_or(row, "backup_id", "?") + " " + (file.empty() ? "?" : file) + " ";
  Backup_Set_Storage storage;
  std::string why;
  Set_Check_Result result = SET_UNCHECKED;
  if (recorded_storage(row, file, storage, why)) {
    d.size_recorded = storage.size();
    result = check_file(row, file, storage, depth, why, d);
  }
  if (result == SET_NOT_VERIFIED) why = "no digest recorded";
  d.reason = why;
  line += std::string(set_check_word(result)) + (result == SET_OK ? "" : ": " + why);
  return result;
}

namespace {

// Whether every stored file of an export row is in its pool; false with
// a report line when one is not or cannot be looked for.
bool export_present(const nlohmann::json& row, std::string& line) {
  const std::string id = text_or(row, "uuid", "?");
  std::string url, why;
  Client_IO_Base::Options opts;
  const std::vector<std::string> files = set_files(row);
  if (files.empty()) {
    line = id + " ? cannot check: its catalogue row names no stored file";
    return false;
  }
  if (!set_location(row, url, opts, why)) {
    line = id + " " + files[0] + " cannot check: " + why;
    return false;
  }
  Client_IO_Ex io;
  for (const std::string& file : files) {
    unsigned long long size = 0;
    const int found = io.connect(url, opts) ? io.stored_size(file.c_str(), size) : -1;
    if (found == 1) continue;
    line = id + " " + file +
           (found == 0 ? " MISSING: no such file in " + url : " cannot check: " + std::string(io.error()));
    return false;
  }
  return true;
}

}  // namespace

bool check_resource_sets(const std::string& resource, Set_Check_Depth depth, Sets_Check& out, std::string& err) {
  nlohmann::json physical, exports;
  if (!backup_rows(resource, physical, err) || !export_rows(resource, exports, err)) return false;
  for (const nlohmann::json& row : physical) {
    std::string line;
    const Set_Check_Result result = check_stored_set(row, line, depth);
    ++out.checked;
    if (result == SET_NOT_VERIFIED) ++out.not_verified;
    if (result != SET_OK && result != SET_NOT_VERIFIED) out.problems.push_back(line);
  }
  for (const nlohmann::json& row : exports) {
    std::string line;
    ++out.checked;
    if (!export_present(row, line)) out.problems.push_back(line);
  }
  return true;
}

Verify_Listing::Verify_Listing(bool json, const nlohmann::json& instance, const nlohmann::json& pool)
    : json_(json), doc_({{"instance", instance}, {"pool", pool}, {"sets", nlohmann::json::array()}}) {}

void Verify_Listing::add(bool problem, const std::string& line, const nlohmann::json& set) {
  ++(problem ? problems_ : ok_);
  if (json_)
    doc_["sets"].push_back(set);
  else
    std::printf("%s\n", line.c_str());
}

int Verify_Listing::finish(const std::string& summary) {
  if (json_) {
    doc_["ok"] = ok_;
    doc_["problems"] = problems_;
    print_json(doc_);
  } else if (!summary.empty()) {
    std::printf("%s\n", summary.c_str());
  }
  std::fflush(stdout);
  return problems_ == 0 ? EXIT_OK : EXIT_FAILED;
}

namespace {

nlohmann::json set_json(const nlohmann::json& row, const std::string& instance, Set_Check_Result result,
                        const Set_Check_Detail& d) {
  const std::string file = text_or(row, "backup_file", "");
  return {{"backup_id", text_or(row, "backup_id", "")},
          {"instance", instance},
          {"pool", d.pool.empty() ? nlohmann::json() : nlohmann::json(d.pool)},
          {"file", file.empty() ? nlohmann::json() : nlohmann::json(file)},
          {"result", set_check_word(result)},
          {"reason", d.reason},
          {"size_stored", d.size_recorded},
          {"size_found", d.size_found < 0 ? nlohmann::json() : nlohmann::json(d.size_found)}};
}

}  // namespace

int verify_command(const Command_Line& line) {
  std::string err;
  const std::string pool = option_value(line, "pool");
  if (pool.empty() == (line.words.size() < 2))
    return fail(EXIT_USAGE, "verify: name either an instance or --pool POOL");
  if (!pool.empty() && line.options.count("point") != 0)
    return fail(EXIT_USAGE, "verify: --point is for an instance's chain, not for --pool");
  const bool json = line.flags.count("json") != 0;
  if (!pool.empty()) return verify_pool_command(option_value(line, "state"), pool, json);
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  Instance_ptr inst = Instance_Manager::instance()->find("oscar", line.words[1]);
  if (!inst) return fail(EXIT_FAILED, "verify: unknown instance \"" + line.words[1] + "\"");
  nlohmann::json rows;
  if (!sets_to_check(resource_id(*inst), option_value(line, "point"), rows, err))
    return fail(EXIT_FAILED, "verify: " + err);
  Verify_Listing listing(json, inst->name, nullptr);
  for (const nlohmann::json& row : rows) {
    std::string report;
    Set_Check_Detail detail;
    const Set_Check_Result result = check_stored_set(row, report, Set_Check_Depth::digests, &detail);
    listing.add(result != SET_OK && result != SET_NOT_VERIFIED, report, set_json(row, inst->name, result, detail));
  }
  return listing.finish(rows.empty() ? "no backup sets of " + inst->name + " are catalogued" : "");
}
