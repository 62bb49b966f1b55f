#include "agent/job_log_reading.h"

#include <sys/stat.h>

#include <deque>
#include <fstream>
#include <regex>

namespace {

// A line's TEXT without its source location, when its priority is
// `priority`; false for other lines.
bool text_of(const std::string& line, const std::string& priority, std::string& text) {
  const std::size_t date_end = line.find(' ');
  const std::size_t time_end = date_end == std::string::npos ? date_end : line.find(' ', date_end + 1);
  if (time_end == std::string::npos) return false;
  const std::string marker = " " + priority + " ";
  if (line.compare(time_end, marker.size(), marker) != 0) return false;
  static const std::regex LOCATION("^[A-Za-z0-9_/.-]+\\.(cc|h|cpp):[0-9]+ ");
  text =
      std::regex_replace(line.substr(time_end + marker.size()), LOCATION, "", std::regex_constants::format_first_only);
  return true;
}

// Calls each with every line appended after `offset`.
template <typename Each>
void each_line(const std::string& path, long long offset, Each each) {
  std::ifstream in(path);
  if (!in) return;
  in.seekg(offset);
  std::string line;
  while (std::getline(in, line)) each(line);
}

}  // namespace

long long job_log_size(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

std::vector<std::string> job_log_texts(const std::string& path, long long offset, const std::string& priority) {
  std::vector<std::string> texts;
  each_line(path, offset, [&](const std::string& line) {
    std::string text;
    if (text_of(line, priority, text)) texts.push_back(text);
  });
  return texts;
}

std::vector<std::string> job_log_tail(const std::string& path, long long offset, std::size_t count) {
  std::deque<std::string> lines;
  each_line(path, offset, [&](const std::string& line) {
    lines.push_back(line);
    if (lines.size() > count) lines.pop_front();
  });
  return std::vector<std::string>(lines.begin(), lines.end());
}

std::string first_error_cause(const std::string& path, long long offset) {
  const std::vector<std::string> errors = job_log_texts(path, offset, "ERROR");
  if (errors.empty()) return std::string();
  // A tool's error output comes as "TOOL: ERROR, TEXT" or "TOOL: ERROR: TEXT";
  // the second ERROR says nothing the headline does not.
  static const std::regex TOOL_ERROR("^([A-Za-z0-9_.-]+: )(ERROR|FATAL)[,:] *");
  return std::regex_replace(errors.front(), TOOL_ERROR, "$1", std::regex_constants::format_first_only);
}
