#include "agent/run_record.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "agent/json_output.h"
#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/base/job_mutex.h"

namespace {

// Longest wait for another agent that is writing the same record.
const int LOCK_SECONDS = 30;

std::string runs_dir() { return agent_state_dir() + "/runs"; }

std::string record_path(const std::string& instance) { return runs_dir() + "/" + instance + ".json"; }

nlohmann::json empty_record(const std::string& instance) {
  return {{"instance", instance}, {"kinds", nlohmann::json::object()}};
}

nlohmann::json entry_json(const Run_Entry& e) {
  return {{"run", e.run},
          {"started", iso_time(e.started)},
          {"ended", iso_time(e.ended)},
          {"result", e.result},
          {"cause", e.cause},
          {"size_read", e.size_read},
          {"size_stored", e.size_stored},
          {"duration_seconds", std::round(e.seconds * 1000) / 1000}};
}

}  // namespace

bool backup_kind(const std::string& kind) { return kind == "full" || kind == "incr" || kind == "diff"; }

std::time_t run_time(const nlohmann::json& run, const char* key) {
  if (!run.is_object() || !run.contains(key) || !run[key].is_string()) return 0;
  std::tm tm{};
  if (strptime(run[key].get<std::string>().c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm) == nullptr) return 0;
  return timegm(&tm);
}

bool load_run_record(const std::string& instance, nlohmann::json& record, std::string& err) {
  const std::string path = record_path(instance);
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT) {
      record = empty_record(instance);
      return true;
    }
    err = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  record = nlohmann::json::parse(text.str(), nullptr, false);
  if (!record.is_object() || !record.contains("kinds") || !record["kinds"].is_object()) {
    err = path + " is not a record of runs";
    return false;
  }
  return true;
}

bool record_run(const std::string& instance, const std::string& kind, const Run_Entry& entry, nlohmann::json& record,
                std::string& err) {
  if (mkdir_p(runs_dir(), 0700) != 0) {
    err = "cannot make " + runs_dir() + ": " + std::strerror(errno);
    return false;
  }
  Job_Lock lock("runs/" + instance, "oscar-agent recording a run", ACE_Time_Value(LOCK_SECONDS));
  if (!lock.locked()) {
    err = lock.error();
    return false;
  }
  // A record that cannot be read is replaced rather than blocking every
  // later run's record: it only ever held the last runs.
  std::string unreadable;
  if (!load_run_record(instance, record, unreadable)) record = empty_record(instance);
  nlohmann::json& slot = record["kinds"][kind];
  slot["last"] = entry_json(entry);
  if (entry.result == "completed") slot["last_success"] = slot["last"];
  const std::string text = record.dump(2) + "\n";
  if (write_file_atomic(record_path(instance), text.data(), text.size()) != 0) {
    err = "cannot write " + record_path(instance) + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
