#include "agent/json_output.h"

#include <cstdio>

void print_json(const nlohmann::json& doc) { std::printf("%s\n", doc.dump(2).c_str()); }

nlohmann::json iso_time(std::time_t t) {
  if (t == 0) return nullptr;
  struct tm tm_buf;
  char text[32];
  if (gmtime_r(&t, &tm_buf) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm_buf) == 0)
    return nullptr;
  return text;
}

std::string size_text(unsigned long long bytes, bool raw) {
  if (raw || bytes < 1024) return std::to_string(bytes) + (raw ? "" : " B");
  static const char* const UNITS[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof UNITS / sizeof UNITS[0]) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, UNITS[unit]);
  return text;
}

std::string age_text(std::time_t then, std::time_t now) {
  if (then == 0) return "?";
  const long long seconds = now > then ? static_cast<long long>(now - then) : 0;
  if (seconds < 60) return std::to_string(seconds) + "s";
  if (seconds < 3600) return std::to_string(seconds / 60) + "m";
  if (seconds < 86400) return std::to_string(seconds / 3600) + "h";
  return std::to_string(seconds / 86400) + "d";
}
