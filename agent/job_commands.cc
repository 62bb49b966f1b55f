#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "agent/catalog_listing.h"
#include "agent/cluster_run.h"
#include "agent/commands.h"
#include "agent/console_log.h"
#include "agent/import_overlap.h"
#include "agent/job_consent.h"
#include "agent/job_documents.h"
#include "agent/job_report.h"
#include "agent/job_runner.h"
#include "agent/json_output.h"
#include "agent/module.h"
#include "agent/pool_lookup.h"
#include "agent/state_dir.h"
#include "host/jobs/job_definition_loader.h"
#include "host/services/instance_manager.h"

namespace {

// The value of --NAME as seconds from 1 to a week into out; out unchanged
// when the option is absent.
bool seconds_option(const Command_Line& line, const char* name, int& out, std::string& err) {
  const std::string t = option_value(line, name);
  if (t.empty()) return true;
  char* end = nullptr;
  const long v = std::strtol(t.c_str(), &end, 10);
  if (*end != '\0' || v <= 0 || v > 7 * 24 * 3600) {
    err = std::string("--") + name + " must be a number of seconds between 1 and 604800";
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

bool run_settings(const Command_Line& line, Run_Settings& settings, std::string& err) {
  const bool json = line.flags.count("json") != 0;
  settings.terminal = isatty(json ? STDERR_FILENO : STDOUT_FILENO) == 1;
  settings.console = json ? stderr : stdout;
  settings.verbose = line.flags.count("verbose") != 0;
  return seconds_option(line, "timeout", settings.timeout_seconds, err) &&
         seconds_option(line, "stall-timeout", settings.stall_seconds, err);
}

// Loads the module after routing the log lines that its jobs will write
// (--verbose echoes them).
bool load_module(const Command_Line& line, Oscar_Module& module, std::string& err) {
  route_log_lines(line.flags.count("verbose") != 0);
  std::string path = option_value(line, "module");
  if (path.empty()) path = Oscar_Module::default_path();
  return module.load(path, err);
}

Instance_ptr find_instance(const std::string& name, std::string& err) {
  Instance_ptr inst = Instance_Manager::instance()->find("oscar", name);
  if (!inst) err = "unknown instance \"" + name + "\" (add it with: instance add NAME --home ...)";
  return inst;
}

// Loads the definition from its JSON text with the module's parsers and
// runs it. The definition is released here, before the caller's module.
// A definition of a clustered instance runs only on the node its
// coordinator chooses: on another node it ends false with outcome.not_run
// saying which node runs it; when no node could be chosen it ends false
// with err naming the coordinator and the cause.
bool run_definition_text(const Oscar_Module& module, const std::string& text, bool restore,
                         const Run_Settings& settings, Run_Outcome& outcome, std::string& err) {
  Job_Definition_var def;
  Object_Creator_T<YAJL_Handler>* sources = restore ? module.restore_source_parsers() : module.backup_source_parsers();
  Object_Creator_T<YAJL_Handler>* options =
      restore ? module.restore_options_parsers() : module.backup_options_parsers();
  if (!load_job_definition(text, sources, options, def, &err)) {
    err = "invalid job definition: " + err;
    return false;
  }
  Cluster_Run cluster;
  if (!cluster.begin(module, nlohmann::json::parse(text, nullptr, false), err)) return false;
  Run_Settings run = settings;
  run.skip_explained = [&cluster] { return cluster.asked(); };
  if (run_job(*module.job_creator(), def, run, outcome)) return true;
  if (outcome.state == JOB_STATE_SKIPPED && cluster.asked() && !cluster.not_chosen(outcome.not_run, err))
    outcome.not_run.clear();
  return false;
}

// The end of a command whose job did not complete: not run on this node,
// failed before it ran (`err`), or ended unfinished.
int job_not_completed(const char* cmd, const Run_Outcome& outcome, const std::string& err, Job_Report& report) {
  if (!outcome.not_run.empty()) return report.not_run(outcome);
  if (!err.empty()) return report.fail(EXIT_FAILED, std::string(cmd) + ": " + err);
  return report.ended(failed_job_status(outcome), outcome);
}

std::string subtype_of(const std::string& type) {
  if (type == "full") return "full";
  if (type == "incr") return "incremental";
  if (type == "diff") return "cumulative";
  return std::string();
}

// The --type word of a catalogued level (the inverse of subtype_of).
std::string kind_of(const std::string& subtype) {
  if (subtype == "incremental") return "incr";
  if (subtype == "cumulative") return "diff";
  return subtype;
}

// --compression (default none) and --level (default 1) of a command that stores a set.
bool compression_options(const Command_Line& line, std::string& compression, int& level, std::string& err) {
  compression = option_value(line, "compression");
  if (compression.empty()) compression = "none";
  if (compression != "none" && compression != "zstd" && compression != "lzop" && compression != "auto") {
    err = "--compression must be none, zstd, lzop or auto";
    return false;
  }
  const std::string text = option_value(line, "level");
  if (text.empty()) return true;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < 1 || v > 22) {
    err = "--level must be a number from 1 to 22";
    return false;
  }
  level = static_cast<int>(v);
  return true;
}

// Runs a definition the agent made on a loaded module; answers the exit
// status. A failure is reported (`report`) here; success is the caller's to
// report.
int run_loaded_definition(Oscar_Module& module, const char* cmd, const nlohmann::json& def, bool restore,
                          const Run_Settings& settings, Run_Outcome& outcome, Job_Report& report) {
  std::string err;
  report.set("job_id", def["id"]);
  if (!run_definition_text(module, def.dump(), restore, settings, outcome, err))
    return job_not_completed(cmd, outcome, err, report);
  return EXIT_OK;
}

// The same, loading the module first.
int run_made_definition(const Command_Line& line, const char* cmd, const nlohmann::json& def, bool restore,
                        const Run_Settings& settings, Run_Outcome& outcome, Job_Report& report) {
  std::string err;
  Oscar_Module module;
  if (!load_module(line, module, err)) return report.fail(EXIT_FAILED, err);
  return run_loaded_definition(module, cmd, def, restore, settings, outcome, report);
}

// The end of a command whose checks before its job failed: canceled (128 +
// the signal) when a stop signal came meanwhile, for the failure may only be
// the signal's work; else the checks' own error.
int checks_failed(const Stop_Signals& signals, const std::string& cmd, const std::string& err, Job_Report& report) {
  const int sig = signals.received();
  if (sig == 0) return report.fail(EXIT_FAILED, cmd + ": " + err);
  return report.fail(128 + sig, cmd + ": " + strsignal(sig) + " received before the job started: canceled");
}

// One line when a backup ran at another level than asked, with the reason:
// the module's own word on it stays in the job log.
void print_level_change(std::FILE* console, const std::string& asked, const std::string& ran) {
  if (asked == ran) return;
  std::fprintf(console, "%s asked, ran %s: the instance's chain state names no catalogued backup to rest on\n",
               asked.c_str(), ran.c_str());
}

// After a restore job: the instance runs again when it ran before, and a
// stopped one (which the restore starts) is stopped again. One line says
// which; false (with a line on stderr) when the instance could not be put
// back as found. `completed`: whether the job completed; a cut-short one
// may have replaced part of the data files, so the advice is to finish it,
// never to start the instance on them.
bool leave_as_found(std::FILE* console, const Oscar_Module& module, const Registered_Instance& inst, bool was_running,
                    bool completed) {
  const bool running = instance_running(module, inst);
  if (was_running == running) {
    if (running) std::fprintf(console, "%s started again\n", inst.name.c_str());
    return true;
  }
  if (was_running) {
    if (completed)
      std::fprintf(stderr, "oscar-agent: %s did not start after the restore; its job log says why\n",
                   inst.name.c_str());
    else
      std::fprintf(stderr,
                   "oscar-agent: %s was left stopped with partly restored data files; run the restore again to finish "
                   "it\n",
                   inst.name.c_str());
    return false;
  }
  std::string err;
  if (!stop_instance_again(inst, err)) {
    std::fprintf(stderr, "oscar-agent: %s\n", err.c_str());
    return false;
  }
  std::fprintf(console, "%s stopped again, as it was before the restore\n", inst.name.c_str());
  return true;
}

// The consent to an import of definition `def` into `target`: asked only
// when the target holds objects the import replaces, given at once by
// --replace (which skips the look). An instance that cannot be looked at is
// refused with the cause rather than imported into blindly.
bool import_consent(const Command_Line& line, const Oscar_Module& module, const std::string& target,
                    const nlohmann::json& def, std::string& err) {
  const bool replace = line.flags.count("replace") != 0;
  if (replace) return true;
  Registered_Instance inst;
  if (!find_registered(target, inst, err)) return false;
  const nlohmann::json as = def.value("source", nlohmann::json::object()).value("restore_as", nlohmann::json::object());
  Import_Overlap overlap{target, as.value("schema", std::string()), as.value("table", std::string()), {}, {}};
  bool found;
  {
    Module_Log log;
    found = find_import_overlap(module, inst, overlap, err);
  }
  if (!found) {
    err = "cannot see what the import would replace in " + target + ": " + err + "; give --replace to import anyway";
    return false;
  }
  return overlap.empty() || consent(target, replacement_statement(overlap), "--replace", replace, err);
}

}  // namespace

int export_command(const Command_Line& line) {
  std::string err;
  Export_Request request;
  request.entries = option_values(line, "entries");
  if (!compression_options(line, request.compression, request.level, err)) return fail(EXIT_USAGE, "export: " + err);
  Run_Settings settings;
  if (!run_settings(line, settings, err)) return fail(EXIT_USAGE, "export: " + err);
  Job_Report report(line, "export");
  report.set("instance", line.words[1]);
  report.set("pool", option_value(line, "pool"));
  report.set("entries", request.entries);
  if (!open_state_dir(option_value(line, "state"), err)) return report.fail(EXIT_FAILED, err);
  Instance_ptr inst = find_instance(line.words[1], err);
  if (!inst) return report.fail(EXIT_FAILED, "export: " + err);
  report.record_as(inst->name, "export");
  if (!find_pool_uuid(option_value(line, "pool"), request.pool_uuid, err))
    return report.fail(EXIT_FAILED, "export: " + err);
  const std::string host_id = agent_host_id(err);
  if (host_id.empty()) return report.fail(EXIT_FAILED, "export: " + err);
  nlohmann::json def;
  if (!export_definition(*inst, host_id, request, def, err)) return fail(EXIT_USAGE, "export: " + err);
  Run_Outcome outcome;
  const int status = run_made_definition(line, "export", def, false, settings, outcome, report);
  if (status != EXIT_OK || !outcome.not_run.empty()) return status;
  nlohmann::json rows;
  const std::string id = export_rows(resource_id(*inst), rows, err) && !rows.empty()
                             ? rows.back().value("backup_id", std::string("?"))
                             : std::string("?");
  report.set("backup_id", id);
  report.ended(EXIT_OK, outcome);
  if (line.flags.count("json") != 0) return EXIT_OK;
  std::string entries;
  for (const std::string& e : request.entries) entries += (entries.empty() ? "" : ", ") + e;
  std::printf("%s\n", job_summary("export of " + entries + " to pool " + option_value(line, "pool"), outcome, false,
                                  "export id", id)
                          .c_str());
  return EXIT_OK;
}

int import_command(const Command_Line& line) {
  std::string err;
  Import_Request request;
  request.database = option_value(line, "database");
  std::string target_name = line.words[1];
  const std::string as = option_value(line, "as");
  if (!as.empty()) {
    std::vector<std::string> parts;
    std::size_t start = 0, slash;
    while ((slash = as.find('/', start)) != std::string::npos) {
      parts.push_back(as.substr(start, slash - start));
      start = slash + 1;
    }
    parts.push_back(as.substr(start));
    for (const std::string& p : parts) {
      if (p.empty() || parts.size() > 3) return fail(EXIT_USAGE, "import: --as must be INSTANCE[/SCHEMA[/TABLE]]");
    }
    target_name = parts[0];
    if (parts.size() > 1) request.schema = parts[1];
    if (parts.size() > 2) request.table = parts[2];
  }
  Run_Settings settings;
  if (!run_settings(line, settings, err)) return fail(EXIT_USAGE, "import: " + err);
  Job_Report report(line, "import");
  report.set("instance", line.words[1]);
  report.set("target_instance", target_name);
  report.set("backup_id", option_value(line, "point"));
  if (!open_state_dir(option_value(line, "state"), err)) return report.fail(EXIT_FAILED, err);
  Instance_ptr source = find_instance(line.words[1], err);
  if (!source) return report.fail(EXIT_FAILED, "import: " + err);
  Instance_ptr target = find_instance(target_name, err);
  // --as begins with an instance: "SALES/ITEMS3" was likely meant as a schema.
  if (!target && !as.empty())
    return report.fail(EXIT_FAILED, "import: --as " + as + " names no registered instance " + target_name +
                                        " (--as takes INSTANCE[/SCHEMA[/TABLE]]" +
                                        (as.find('/') == as.rfind('/')
                                             ? "; " + source->name + "/" + as + " imports into " + source->name
                                             : std::string()) +
                                        ")");
  if (!target) return report.fail(EXIT_FAILED, "import: " + err);
  report.record_as(target->name, "import");
  nlohmann::json rows;
  if (!export_rows(resource_id(*source), rows, err)) return report.fail(EXIT_FAILED, "import: " + err);
  const std::string point = option_value(line, "point");
  const nlohmann::json* row = nullptr;
  for (const nlohmann::json& r : rows) {
    if (r.value("backup_id", std::string()) == point) row = &r;
  }
  if (row == nullptr)
    return report.fail(EXIT_FAILED, "import: the catalogue holds no export " + point + " of " + source->name);
  const std::string host_id = agent_host_id(err);
  if (host_id.empty()) return report.fail(EXIT_FAILED, "import: " + err);
  nlohmann::json def;
  if (!import_definition(*target, host_id, *row, request, def, err)) return report.fail(EXIT_FAILED, "import: " + err);
  Oscar_Module module;
  if (!load_module(line, module, err)) return report.fail(EXIT_FAILED, err);
  Stop_Signals signals;
  if (!import_consent(line, module, target->name, def, err)) return checks_failed(signals, "import", err, report);
  Run_Outcome outcome;
  const int status = run_loaded_definition(module, "import", def, true, settings, outcome, report);
  if (status != EXIT_OK || !outcome.not_run.empty()) return status;
  report.ended(EXIT_OK, outcome);
  if (line.flags.count("json") != 0) return EXIT_OK;
  std::printf("%s\n",
              job_summary("import of export " + point + " into " + target->name, outcome, true, "", "").c_str());
  return EXIT_OK;
}

int catalog_command(const Command_Line& line) {
  std::string err;
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  const bool all = line.flags.count("all") != 0;
  std::string resource;
  if (line.words.size() > 1) {
    // With --all, the uuid of a removed instance names its sets.
    Instance_ptr inst = find_instance(line.words[1], err);
    std::string why;
    if (inst)
      resource = resource_id(*inst);
    else if (all && unregistered_resource(line.words[1], why))
      resource = line.words[1];
    else if (!all && unregistered_resource(line.words[1], why))
      return fail(EXIT_FAILED, "catalog: " + line.words[1] + " is a removed instance; catalog --all " + line.words[1] +
                                   " lists its sets");
    else
      return fail(EXIT_FAILED, "catalog: " + (why.empty() ? err : why));
  }
  nlohmann::json rows;
  if (!catalog_selection(resource, all, rows, err)) return fail(EXIT_FAILED, "catalog: " + err);
  Listing_Names names;
  if (!listing_names(names, err)) return fail(EXIT_FAILED, "catalog: " + err);
  nlohmann::json records = nlohmann::json::array();
  for (const nlohmann::json& row : rows) records.push_back(catalog_record(row, names));
  if (line.flags.count("json") != 0)
    print_json({{"backups", records}});
  else
    std::printf("%s", format_catalog_table(records, std::time(nullptr), line.flags.count("bytes") != 0).c_str());
  return EXIT_OK;
}

int backup_command(const Command_Line& line) {
  std::string err;
  Backup_Request request;
  request.subtype = subtype_of(option_value(line, "type"));
  if (request.subtype.empty()) return fail(EXIT_USAGE, "backup: --type must be full, incr or diff");
  if (!compression_options(line, request.compression, request.level, err)) return fail(EXIT_USAGE, "backup: " + err);
  Run_Settings settings;
  if (!run_settings(line, settings, err)) return fail(EXIT_USAGE, "backup: " + err);
  Job_Report report(line, "backup");
  report.set("instance", line.words[1]);
  report.set("pool", option_value(line, "pool"));
  if (!open_state_dir(option_value(line, "state"), err)) return report.fail(EXIT_FAILED, err);
  Instance_ptr inst = find_instance(line.words[1], err);
  if (!inst) return report.fail(EXIT_FAILED, "backup: " + err);
  report.record_as(inst->name, option_value(line, "type"));
  if (!find_pool_uuid(option_value(line, "pool"), request.pool_uuid, err))
    return report.fail(EXIT_FAILED, "backup: " + err);
  const std::string host_id = agent_host_id(err);
  if (host_id.empty()) return report.fail(EXIT_FAILED, "backup: " + err);

  Registered_Instance account;
  if (!find_registered(inst->name, account, err)) return report.fail(EXIT_FAILED, "backup: " + err);

  Oscar_Module module;
  if (!load_module(line, module, err)) return report.fail(EXIT_FAILED, err);
  Stop_Signals signals;
  if (!preflight(module, account, err)) return checks_failed(signals, "backup", err, report);
  Run_Outcome outcome;
  const nlohmann::json def = backup_definition(*inst, host_id, request);
  report.set("job_id", def["id"]);
  if (!run_definition_text(module, def.dump(), false, settings, outcome, err))
    return job_not_completed("backup", outcome, err, report);
  // The catalogue's newest set is this run's: its type says what was stored
  // (an incremental without a chain to rest on runs as full).
  nlohmann::json row;
  std::string id = "?", type = request.subtype;
  if (find_restore_point(resource_id(*inst), "", row, err)) {
    if (row.contains("backup_id") && row["backup_id"].is_string()) id = row["backup_id"].get<std::string>();
    if (row.contains("type") && row["type"].is_string()) type = row["type"].get<std::string>();
  }
  print_level_change(settings.console, request.subtype, type);
  report.record_as(inst->name, kind_of(type));
  report.set("backup_id", id);
  report.set("level", type);
  report.ended(EXIT_OK, outcome);
  if (line.flags.count("json") != 0) return EXIT_OK;
  std::printf("%s\n", job_summary("backup " + type + " of " + inst->name + " to pool " + option_value(line, "pool"),
                                  outcome, false, "backup id", id)
                          .c_str());
  return EXIT_OK;
}

int restore_command(const Command_Line& line) {
  std::string err;
  Run_Settings settings;
  if (!run_settings(line, settings, err)) return fail(EXIT_USAGE, "restore: " + err);
  Job_Report report(line, "restore");
  report.set("instance", line.words[1]);
  if (!open_state_dir(option_value(line, "state"), err)) return report.fail(EXIT_FAILED, err);
  Instance_ptr inst = find_instance(line.words[1], err);
  if (!inst) return report.fail(EXIT_FAILED, "restore: " + err);
  report.record_as(inst->name, "restore");
  nlohmann::json row;
  if (!find_restore_point(resource_id(*inst), option_value(line, "point"), row, err))
    return report.fail(EXIT_FAILED, "restore: " + err);
  const std::string host_id = agent_host_id(err);
  if (host_id.empty()) return report.fail(EXIT_FAILED, "restore: " + err);
  nlohmann::json def;
  if (!restore_definition(*inst, host_id, row, def, err, line.flags.count("no-verify") == 0))
    return report.fail(EXIT_FAILED, "restore: " + err);
  const std::string point = row["backup_id"].get<std::string>();
  report.set("backup_id", point);
  report.set("job_id", def["id"]);

  Registered_Instance account;
  if (!find_registered(inst->name, account, err)) return report.fail(EXIT_FAILED, "restore: " + err);

  Oscar_Module module;
  if (!load_module(line, module, err)) return report.fail(EXIT_FAILED, err);
  Stop_Signals signals;
  const bool was_running = instance_running(module, account);
  if (was_running) {
    if (!consent(inst->name, inst->name + " is running; the restore stops it and replaces its data files", "--force",
                 line.flags.count("force") != 0, err) ||
        !preflight(module, account, err))
      return checks_failed(signals, "restore", err, report);
    std::fprintf(settings.console, "stopping %s for the restore\n", inst->name.c_str());
    std::fflush(settings.console);
  }
  Run_Outcome outcome;
  const bool done = run_definition_text(module, def.dump(), true, settings, outcome, err);
  if (!done && !err.empty()) {
    outcome.cause = err;
    fail(EXIT_FAILED, "restore: " + err);
  }
  const bool as_found = leave_as_found(settings.console, module, account, was_running, done);
  if (!done) return report.ended(err.empty() ? failed_job_status(outcome) : EXIT_FAILED, outcome);
  if (!as_found) {
    outcome.cause = inst->name + " was not left as the restore found it";
    return report.ended(EXIT_FAILED, outcome);
  }
  report.ended(EXIT_OK, outcome);
  if (line.flags.count("json") != 0) return EXIT_OK;
  std::printf("%s\n", job_summary("restore of " + inst->name + " to backup " + point, outcome, true, "", "").c_str());
  return EXIT_OK;
}

int run_command(const Command_Line& line) {
  std::string err;
  Run_Settings settings;
  if (!run_settings(line, settings, err)) return fail(EXIT_USAGE, "run: " + err);
  const std::string path = line.words[1];
  std::ifstream in(path);
  if (!in) return fail(EXIT_FAILED, "run: cannot read " + path);
  std::stringstream text;
  text << in.rdbuf();
  const nlohmann::json doc = nlohmann::json::parse(text.str(), nullptr, false);
  if (!doc.is_object() || !doc.contains("type") || !doc["type"].is_string())
    return fail(EXIT_FAILED, "run: " + path + " is not a job definition (an object with a \"type\" text)");
  const bool restore = doc["type"].get<std::string>() == "restore";
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);

  Oscar_Module module;
  if (!load_module(line, module, err)) return fail(EXIT_FAILED, err);
  Run_Outcome outcome;
  if (!run_definition_text(module, text.str(), restore, settings, outcome, err)) {
    if (!outcome.not_run.empty()) {
      std::printf("not run: %s\n", outcome.not_run.c_str());
      return EXIT_OK;
    }
    if (!err.empty()) return fail(EXIT_FAILED, "run: " + err);
    return failed_job_status(outcome);
  }
  std::printf("%s\n", job_summary(doc["type"].get<std::string>() + " job", outcome, restore, "", "").c_str());
  return EXIT_OK;
}
