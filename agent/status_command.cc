#include <cstdio>
#include <ctime>
#include <vector>

#include "agent/agent_config.h"
#include "agent/catalog_listing.h"
#include "agent/commands.h"
#include "agent/instance_status.h"
#include "agent/job_documents.h"
#include "agent/json_output.h"
#include "agent/run_record.h"
#include "agent/state_dir.h"
#include "agent/timer_schedule.h"
#include "host/services/instance_manager.h"

namespace {

// How old an instance's last backup may be: its max-age, 26 hours unless
// the configuration says otherwise (the file's values were checked when it
// was read).
long long max_age_of(const std::string& instance) {
  long long seconds = 26 * 3600;
  const std::string text = agent_config().value("max-age", instance);
  if (!text.empty()) parse_duration(text, seconds);
  return seconds;
}

// The status of one registered instance; false with err when its sets or
// its record of runs cannot be read.
bool status_of(const Instance_ptr& inst, const Listing_Names& names, std::time_t now, nlohmann::json& status,
               std::string& err) {
  Status_Inputs in;
  in.instance = inst->name;
  in.now = now;
  in.max_age = max_age_of(inst->name);
  nlohmann::json rows;
  if (!catalog_selection(resource_id(*inst), false, rows, err) || !load_run_record(inst->name, in.runs, err))
    return false;
  in.records = nlohmann::json::array();
  for (const nlohmann::json& row : rows) in.records.push_back(catalog_record(row, names));
  in.next_run = next_scheduled_backup(inst->name);
  status = instance_status(in);
  return true;
}

}  // namespace

int status_command(const Command_Line& line) {
  std::string err;
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  std::vector<Instance_ptr> instances;
  if (line.words.size() > 1) {
    Instance_ptr inst = Instance_Manager::instance()->find("oscar", line.words[1]);
    if (!inst) return fail(EXIT_FAILED, "status: unknown instance \"" + line.words[1] + "\"");
    instances.push_back(inst);
  } else {
    for (const Instance_ptr& inst : Instance_Manager::instance()->list("oscar")) instances.push_back(inst);
  }
  Listing_Names names;
  if (!listing_names(names, err)) return fail(EXIT_FAILED, "status: " + err);
  const std::time_t now = std::time(nullptr);
  nlohmann::json all = nlohmann::json::array();
  bool all_ok = true;
  for (const Instance_ptr& inst : instances) {
    nlohmann::json status;
    if (!status_of(inst, names, now, status, err)) return fail(EXIT_FAILED, "status: " + inst->name + ": " + err);
    all_ok = all_ok && status["verdict"] == "ok";
    all.push_back(status);
  }
  if (line.flags.count("json") != 0) {
    print_json({{"instances", all}});
  } else if (all.empty()) {
    std::printf("no instances registered (instance add registers one)\n");
  } else {
    for (const nlohmann::json& status : all)
      std::printf("%s\n", status_line(status, now, line.flags.count("bytes") != 0).c_str());
  }
  return all_ok ? EXIT_OK : EXIT_FAILED;
}
