#include "oscar/last_backup_info.h"

#include <ace/Log_Msg.h>

#include <cerrno>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "host/catalog/catalog_operator.h"
#include "tollix/natoi.h"
#include "tollix/read_each_line.h"

namespace oscar {

namespace {

std::uint64_t parse_number(const std::string& text) {
  const char* b = text.data();
  return natoi<unsigned long long>(b, b + text.size());
}

}  // namespace

std::string chain_state_path(const std::string& oscar_home) { return oscar_home + "/agent/lastlsn.dat"; }

bool read_last_backup_info(const std::string& oscar_home, const std::string& instance, Last_Backup_Info& info,
                           bool log) {
  const std::string path = chain_state_path(oscar_home);
  std::FILE* probe = std::fopen(path.c_str(), "re");
  if (probe == nullptr) {
    if (log) ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open file %s: %m\n"), path.c_str()));
    return false;
  }
  std::fclose(probe);

  const std::string full_id = instance + "_lastfullbackupid=";
  const std::string full_lsn = instance + "_lastfullbackuplsn=";
  const std::string full_scn = instance + "_lastfullbackupscn=";
  const std::string last_id = instance + "_lastbackupid=";
  const std::string last_lsn = instance + "_lastbackuplsn=";
  const std::string last_scn = instance + "_lastbackupscn=";
  auto starts = [](const std::string& line, const std::string& prefix) {
    return line.compare(0, prefix.size(), prefix) == 0;
  };
  const bool read = read_each_line(
      path.c_str(),
      [&](const std::string& line) {
        if (starts(line, full_id)) {
          info.last_full_backup_id = line.substr(full_id.size());
        } else if (starts(line, full_lsn)) {
          info.last_full_backup_lsn = parse_number(line.substr(full_lsn.size()));
        } else if (starts(line, full_scn)) {
          info.last_full_backup_scn = parse_number(line.substr(full_scn.size()));
        } else if (starts(line, last_id)) {
          info.last_backup_id = line.substr(last_id.size());
        } else if (starts(line, last_lsn)) {
          info.last_backup_lsn = parse_number(line.substr(last_lsn.size()));
        } else if (starts(line, last_scn)) {
          info.last_backup_scn = parse_number(line.substr(last_scn.size()));
        }
        return true;
      },
      log);
  const bool valid = read && !info.last_full_backup_id.empty() && !info.last_backup_id.empty() &&
                     info.last_full_backup_lsn != 0 && info.last_full_backup_scn != 0 && info.last_backup_lsn != 0 &&
                     info.last_backup_scn != 0;
  if (!valid) {
    if (log) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get %s backup info from %s.\n"), instance.c_str(), path.c_str()));
    }
    return false;
  }
  return true;
}

bool backup_set_catalogued(const std::string& backup_id, std::uint64_t lsn, std::uint64_t scn,
                           const std::string& resource_id, const std::string& pool_id, int max_seconds_retry) {
  nlohmann::json query = nlohmann::json::object();
  query["resource_uuid"] = resource_id;
  query["backup_id"] = backup_id;
  query["backup_lsn"] = lsn;
  query["backup_scn"] = scn;
  query["sort"] = "start_time";
  query["order"] = "desc";
  nlohmann::json result;
  Catalog_Operator op(-1, max_seconds_retry);
  if (!op.get_view("oscar_brcmd", "catalogs", query, result) || !result.is_object()) return false;
  const auto rows = result.find("rows");
  if (rows == result.end() || !rows->is_array() || rows->empty()) return false;
  const nlohmann::json& row = rows->front();
  if (!row.is_object()) return false;
  const auto state = row.find("state");
  const auto pool = row.find("pool_uuid");
  if (state == row.end() || !state->is_array() || state->empty()) return false;
  if (pool == row.end() || !pool->is_string()) return false;
  return pool->get<std::string>() == pool_id;
}

bool check_full_backup_set_state(const Last_Backup_Info& info, const std::string& resource_id,
                                 const std::string& pool_id, int max_seconds_retry) {
  return backup_set_catalogued(info.last_full_backup_id, info.last_full_backup_lsn, info.last_full_backup_scn,
                               resource_id, pool_id, max_seconds_retry);
}

bool chain_usable(Job_Definition_Subtype subtype, const Last_Backup_Info& info, const std::string& resource_id,
                  const std::string& pool_id, int max_seconds_retry) {
  if (subtype != JOB_DEFINITION_SUBTYPE_INCREMENTAL && subtype != JOB_DEFINITION_SUBTYPE_CUMULATIVE) return false;
  if (!check_full_backup_set_state(info, resource_id, pool_id, max_seconds_retry)) return false;
  return subtype == JOB_DEFINITION_SUBTYPE_CUMULATIVE ||
         backup_set_catalogued(info.last_backup_id, info.last_backup_lsn, info.last_backup_scn, resource_id, pool_id,
                               max_seconds_retry);
}

}  // namespace oscar
