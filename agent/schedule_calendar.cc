#include "agent/schedule_calendar.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <sstream>
#include <vector>

#include "agent/program_run.h"

namespace {

// Day names as cron numbers them (Monday 1 to Sunday 7); a range or a
// list of names is not valid in Debian's cron, numbers are.
int day_number(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  static const char* const DAYS[] = {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};
  for (int i = 0; i < 7; ++i) {
    const std::string day = DAYS[i];
    if (name == day || name == day.substr(0, 3)) return i + 1;
  }
  return 0;
}

// "Mon..Fri,Sun" as "1-5,7"; false for an unknown day or a range that
// runs backwards.
bool cron_days(const std::string& days, std::string& out) {
  std::istringstream parts(days);
  for (std::string part; std::getline(parts, part, ',');) {
    const std::size_t dots = part.find("..");
    const int from = day_number(part.substr(0, dots));
    const int to = dots == std::string::npos ? from : day_number(part.substr(dots + 2));
    if (from == 0 || to < from) return false;
    out += (out.empty() ? "" : ",") + std::to_string(from) + (to > from ? "-" + std::to_string(to) : "");
  }
  return !out.empty();
}

// "HH:MM[:SS]" (HH may be *) as cron's minute and hour fields.
bool cron_time(const std::string& time, std::string& out) {
  static const std::regex re("(\\*|[0-9]{1,2}):([0-9]{1,2})(:00?)?");
  std::smatch m;
  if (!std::regex_match(time, m, re)) return false;
  const int minute = std::stoi(m[2]);
  if (minute > 59 || (m[1] != "*" && std::stoi(m[1]) > 23)) return false;
  out = std::to_string(minute) + " " + (m[1] == "*" ? std::string("*") : std::to_string(std::stoi(m[1])));
  return true;
}

}  // namespace

bool check_calendar(const std::string& calendar, std::string& err) {
  if (calendar.empty() || calendar.find_first_of("\n\r") != std::string::npos) {
    err = "a calendar is one line";
    return false;
  }
  const std::string analyze = find_program("systemd-analyze");
  if (analyze.empty()) return true;
  std::string output;
  const int status = run_tool({analyze, "calendar", calendar}, 30, output, err);
  if (status == 0) return true;
  if (status > 0) {
    // systemd's reason is the last line of its output (the calendar
    // it could not parse and why).
    while (!output.empty() && output.back() == '\n') output.pop_back();
    err = output.substr(output.rfind('\n') + 1);
  }
  return false;
}

bool cron_fields(const std::string& calendar, std::string& fields, std::string& err) {
  std::string text = calendar == "daily" ? "*-*-* 00:00" : calendar == "hourly" ? "*-*-* *:00" : calendar;
  if (calendar == "weekly") text = "Mon *-*-* 00:00";
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  // The date, when given, must be every day.
  if (words.size() >= 2 && words[words.size() - 2] == "*-*-*") words.erase(words.end() - 2);
  std::string days = "*", time;
  bool ok = (words.size() == 1 || words.size() == 2) && cron_time(words.back(), time);
  if (ok && words.size() == 2) {
    days.clear();
    ok = cron_days(words[0], days);
  }
  if (!ok) {
    err = "cron cannot run at \"" + calendar +
          "\" as given (it takes daily, weekly, hourly, HH:MM, DOW[..DOW][,DOW] HH:MM and *-*-* HH:MM[:SS])";
    return false;
  }
  fields = time + " * * " + days;
  return true;
}
