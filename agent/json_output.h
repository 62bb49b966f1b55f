#ifndef AGENT_JSON_OUTPUT_H
#define AGENT_JSON_OUTPUT_H

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

// What every command's output shares: one JSON document on standard output
// (an object; a list is an object with one named array), times in ISO 8601
// UTC, sizes in bytes; on a terminal, sizes in binary units and ages.
// Main thread only.

// Prints `doc` as one indented JSON document and a line feed on stdout.
void print_json(const nlohmann::json& doc);

// The time `t` as "2026-01-31T23:59:59Z"; null for 0 (not known).
nlohmann::json iso_time(std::time_t t);

// `bytes` in binary units with one decimal from KiB to EiB ("512 B", "1.5 KiB",
// "3.0 GiB"), or the plain number when `raw` is set.
std::string size_text(unsigned long long bytes, bool raw);

// How long before `now` the time `then` lies, in its largest whole unit
// ("45s", "12m", "3h", "2d"); "?" for 0 (not known), "0s" for the future.
std::string age_text(std::time_t then, std::time_t now);

#endif
