#ifndef TESTS_SUPPORT_CATALOGUE_RECORDS_H
#define TESTS_SUPPORT_CATALOGUE_RECORDS_H

#include <nlohmann/json.hpp>
#include <string>

// The catalogue's own records of the sets of the agent state directory
// `state_dir` (its catalog.db), of one instance (`resource_uuid`) or of all
// when empty, oldest first (by start time, then by when they were written);
// an export record carries "backup_id" (its uuid) as the physical ones do.
// For tests that look at or tamper with what the catalogue keeps beyond what
// the agent shows (folders, files, digests, sequence numbers). An empty
// array when the catalogue cannot be read.
nlohmann::json catalogue_records(const std::string& state_dir, const std::string& resource_uuid = std::string());

#endif
