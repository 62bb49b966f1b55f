#include "agent/instance_status.h"

#include <map>
#include <utility>

#include "agent/json_output.h"
#include "agent/run_record.h"

namespace {

std::string text(const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : std::string("?"); }

bool is_backup(const nlohmann::json& record) { return record.is_object() && record.value("type", "") == "backup"; }

// The end of a set (its start when the end is not known).
std::time_t set_time(const nlohmann::json& record) {
  const std::time_t ended = run_time(record, "ended");
  return ended != 0 ? ended : run_time(record, "started");
}

nlohmann::json stored_by_pool(const nlohmann::json& records) {
  std::map<std::pair<std::string, std::string>, unsigned long long> sizes;
  std::map<std::pair<std::string, std::string>, nlohmann::json> names;
  for (const nlohmann::json& r : records) {
    if (!r.is_object()) continue;
    const auto key = std::make_pair(text(r["pool"]), text(r["pool_uuid"]));
    names[key] = r["pool"];
    sizes[key] += r["size_stored"].is_number_unsigned() ? r["size_stored"].get<unsigned long long>() : 0;
  }
  nlohmann::json out = nlohmann::json::array();
  for (const auto& s : sizes)
    out.push_back({{"pool", names[s.first]}, {"pool_uuid", s.first.second}, {"size_stored", s.second}});
  return out;
}

// The latest failed or canceled last run over the kinds that `only_backups`
// allows; null when every such last run completed.
nlohmann::json latest_failure(const nlohmann::json& runs, bool only_backups) {
  nlohmann::json found = nullptr;
  std::time_t when = 0;
  const nlohmann::json kinds = runs.value("kinds", nlohmann::json::object());
  for (const auto& kind : kinds.items()) {
    if (only_backups && !backup_kind(kind.key())) continue;
    const nlohmann::json last = kind.value().value("last", nlohmann::json());
    if (!last.is_object() || last.value("result", "") == "completed" || run_time(last, "ended") < when) continue;
    when = run_time(last, "ended");
    found = {{"kind", kind.key()},
             {"run", last.value("run", "")},
             {"ended", last.value("ended", nlohmann::json())},
             {"result", last.value("result", "")},
             {"cause", last.value("cause", "")}};
  }
  return found;
}

// Whether the latest backup run of the record failed: a backup kind's last
// run failed, no backup kind's last run ended after it and no catalogued
// backup ended after it.
bool last_backup_run_failed(const nlohmann::json& runs, std::time_t newest_set) {
  const nlohmann::json failure = latest_failure(runs, true);
  if (failure.is_null() || run_time(failure, "ended") < newest_set) return false;
  const nlohmann::json kinds = runs.value("kinds", nlohmann::json::object());
  for (const auto& kind : kinds.items()) {
    const nlohmann::json success = kind.value().value("last_success", nlohmann::json());
    if (backup_kind(kind.key()) && success.is_object() && run_time(success, "ended") > run_time(failure, "ended"))
      return false;
  }
  return true;
}

std::string local_time(std::time_t t) {
  struct tm tm_buf;
  char out[32];
  if (t == 0 || localtime_r(&t, &tm_buf) == nullptr ||
      std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &tm_buf) == 0)
    return "?";
  return out;
}

}  // namespace

nlohmann::json instance_status(const Status_Inputs& in) {
  const nlohmann::json* newest = nullptr;
  const nlohmann::json* full = nullptr;
  long long since_full = 0;
  for (const nlohmann::json& r : in.records) {
    if (!is_backup(r)) continue;
    newest = &r;
    ++since_full;
    if (r.value("level", "") == "full") {
      full = &r;
      since_full = 0;
    }
  }
  const std::time_t newest_time = newest != nullptr ? set_time(*newest) : 0;
  nlohmann::json last_backup = nullptr;
  if (newest != nullptr)
    last_backup = {{"backup_id", (*newest)["backup_id"]},
                   {"level", (*newest)["level"]},
                   {"ended", iso_time(newest_time)},
                   {"age_seconds", newest_time != 0 && in.now > newest_time ? in.now - newest_time : 0}};
  std::string verdict = "ok";
  if (newest == nullptr)
    verdict = "never";
  else if (last_backup_run_failed(in.runs, newest_time))
    verdict = "failed";
  else if (newest_time == 0 || in.now - newest_time > in.max_age)
    verdict = "old";
  return {{"instance", in.instance},
          {"verdict", verdict},
          {"last_full", full != nullptr ? iso_time(set_time(*full)) : nlohmann::json(nullptr)},
          {"last_backup", last_backup},
          {"chain_length", full != nullptr ? nlohmann::json(since_full) : nlohmann::json(nullptr)},
          {"stored", stored_by_pool(in.records)},
          {"last_failure", latest_failure(in.runs, false)},
          {"next_run", iso_time(in.next_run)},
          {"max_age_seconds", in.max_age}};
}

std::string status_line(const nlohmann::json& status, std::time_t now, bool raw) {
  std::string line = text(status["instance"]) + ": " + text(status["verdict"]);
  const nlohmann::json& last = status["last_backup"];
  if (last.is_null()) line += "; no backup";
  if (status["last_full"].is_string()) line += "; last full " + local_time(run_time(status, "last_full"));
  if (last.is_object()) {
    const std::time_t t = run_time(last, "ended");
    line += "; last backup " + text(last["level"]) + " " + local_time(t) + " (" + age_text(t, now) + " ago)";
  }
  if (status["chain_length"].is_number()) line += "; chain " + status["chain_length"].dump();
  std::string stored;
  for (const nlohmann::json& s : status["stored"])
    stored += (stored.empty() ? "" : ", ") + (s["pool"].is_string() ? text(s["pool"]) : text(s["pool_uuid"])) + " " +
              size_text(s["size_stored"].get<unsigned long long>(), raw);
  if (!stored.empty()) line += "; stored " + stored;
  const nlohmann::json& failure = status["last_failure"];
  if (failure.is_object())
    line += "; " + text(failure["result"]) + " " + text(failure["kind"]) + " " +
            local_time(run_time(failure, "ended")) + ": " + text(failure["cause"]);
  if (status["next_run"].is_string()) line += "; next " + local_time(run_time(status, "next_run"));
  return line;
}
