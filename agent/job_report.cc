#include "agent/job_report.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "agent/agent_config.h"
#include "agent/commands.h"
#include "agent/job_runner.h"
#include "agent/json_output.h"
#include "agent/run_metrics.h"

namespace {

double monotonic_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

}  // namespace

Job_Report::Job_Report(const Command_Line& line, const std::string& command)
    : json_(line.flags.count("json") != 0),
      command_(command),
      doc_({{"command", command}, {"result", ""}}),
      started_(monotonic_seconds()) {
  entry_.started = std::time(nullptr);
}

void Job_Report::set(const std::string& key, const nlohmann::json& value) { doc_[key] = value; }

void Job_Report::record_as(const std::string& instance, const std::string& kind) {
  record_instance_ = instance;
  record_kind_ = kind;
}

int Job_Report::fail(int status, const std::string& text) {
  ::fail(status, text);
  const std::string prefix = command_ + ": ";
  const std::string cause = text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
  return finish(status, status > 128 ? "canceled" : "failed", cause);
}

int Job_Report::ended(int status, const Run_Outcome& outcome) {
  if (!outcome.run.empty()) {
    doc_["run"] = outcome.run;
    doc_["log"] = outcome.log;
    entry_.run = outcome.run;
    entry_.seconds = outcome.seconds;
  }
  entry_.size_read = outcome.set_size;
  entry_.size_stored = outcome.set_storage_size;
  doc_["size_read"] = outcome.set_size;
  doc_["size_stored"] = outcome.set_storage_size;
  doc_["duration_seconds"] = std::round(outcome.seconds * 1000) / 1000;
  if (status == EXIT_OK) return finish(status, "completed", "");
  if (outcome.alert != 0) {
    doc_["alert"] = outcome.alert;
    doc_["alert_text"] = alert_text(outcome.alert);
  }
  const bool canceled = outcome.signal != 0 || status > 128;
  return finish(status, canceled ? "canceled" : "failed", outcome.cause.empty() ? "the job failed" : outcome.cause);
}

int Job_Report::not_run(const Run_Outcome& outcome) {
  if (!json_) {
    std::printf("not run: %s\n", outcome.not_run.c_str());
    return EXIT_OK;
  }
  doc_["duration_seconds"] = std::round(outcome.seconds * 1000) / 1000;
  return finish(EXIT_OK, "not run", outcome.not_run);
}

int Job_Report::finish(int status, const std::string& result, const std::string& cause) {
  if (result != "not run") record(result, cause);
  if (!json_) return status;
  doc_["result"] = result;
  if (!cause.empty()) doc_["cause"] = cause;
  print_json(doc_);
  std::fflush(stdout);
  json_ = false;  // one document, however many ends are reported
  return status;
}

void Job_Report::record(const std::string& result, const std::string& cause) {
  if (record_instance_.empty()) return;
  const std::string instance = record_instance_;
  record_instance_.clear();  // one record, however many ends are reported
  entry_.result = result;
  entry_.cause = cause;
  entry_.ended = std::time(nullptr);
  if (entry_.run.empty()) entry_.seconds = monotonic_seconds() - started_;
  nlohmann::json runs;
  std::string err;
  if (!record_run(instance, record_kind_, entry_, runs, err)) {
    std::fprintf(stderr, "oscar-agent: warning: the run was not recorded: %s\n", err.c_str());
    return;
  }
  const std::string dir = agent_config().value("metrics-dir", instance);
  if (!dir.empty() && !write_metrics(dir, instance, runs, err))
    std::fprintf(stderr, "oscar-agent: warning: %s\n", err.c_str());
}
