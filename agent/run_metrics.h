#ifndef AGENT_RUN_METRICS_H
#define AGENT_RUN_METRICS_H

#include <nlohmann/json.hpp>
#include <string>

// The record of one instance's runs (see run_record.h) as Prometheus text
// (exposition format 0.0.4), for node_exporter's textfile collector: gauges
// labelled {instance="NAME",type="KIND"}, each family with its HELP and TYPE
// lines, a kind's series only when the record has its run:
//   oscar_agent_last_success_timestamp_seconds  end of the last successful run
//   oscar_agent_last_run_timestamp_seconds      end of the last run
//   oscar_agent_last_run_duration_seconds
//   oscar_agent_last_run_bytes_read
//   oscar_agent_last_run_bytes_stored
//   oscar_agent_last_run_success                1 completed, 0 failed or canceled
std::string metrics_text(const std::string& instance, const nlohmann::json& record);

// Writes metrics_text as DIR/oscar-agent-NAME.prom (mode 0644), so that a
// reader sees the old file or the new one whole: a temporary file in DIR,
// synced, then renamed; nothing of it is left on failure. False with err
// (one line).
bool write_metrics(const std::string& dir, const std::string& instance, const nlohmann::json& record, std::string& err);

#endif
