#include "agent/run_metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "agent/run_record.h"

namespace {

struct Family {
  const char* name;
  const char* help;
  const char* slot;  // "last" or "last_success"
  const char* member;
};

const Family FAMILIES[] = {
    {"oscar_agent_last_success_timestamp_seconds", "End of the last successful run, seconds since the epoch.",
     "last_success", "ended"},
    {"oscar_agent_last_run_timestamp_seconds", "End of the last run, seconds since the epoch.", "last", "ended"},
    {"oscar_agent_last_run_duration_seconds", "Duration of the last run.", "last", "duration_seconds"},
    {"oscar_agent_last_run_bytes_read", "Bytes the last run read.", "last", "size_read"},
    {"oscar_agent_last_run_bytes_stored", "Bytes the last run stored.", "last", "size_stored"},
    {"oscar_agent_last_run_success", "Whether the last run completed (1) or failed or was canceled (0).", "last",
     "result"},
};

// A label value with backslash, double quote and line feed escaped.
std::string escaped(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out;
}

std::string sample_value(const nlohmann::json& run, const char* member) {
  if (std::strcmp(member, "ended") == 0) return std::to_string(static_cast<long long>(run_time(run, "ended")));
  if (std::strcmp(member, "result") == 0) return run.value("result", "") == "completed" ? "1" : "0";
  const nlohmann::json& v = run.contains(member) ? run[member] : nlohmann::json(0);
  return v.is_number() ? v.dump() : "0";
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string metrics_text(const std::string& instance, const nlohmann::json& record) {
  const nlohmann::json kinds = record.value("kinds", nlohmann::json::object());
  std::string out;
  for (const Family& f : FAMILIES) {
    out += std::string("# HELP ") + f.name + " " + f.help + "\n";
    out += std::string("# TYPE ") + f.name + " gauge\n";
    for (const auto& kind : kinds.items()) {
      if (!kind.value().is_object() || !kind.value().contains(f.slot)) continue;
      out += std::string(f.name) + "{instance=\"" + escaped(instance) + "\",type=\"" + escaped(kind.key()) + "\"} " +
             sample_value(kind.value()[f.slot], f.member) + "\n";
    }
  }
  return out;
}

bool write_metrics(const std::string& dir, const std::string& instance, const nlohmann::json& record,
                   std::string& err) {
  const std::string path = dir + "/oscar-agent-" + instance + ".prom";
  // The temporary name starts with a dot and does not end in .prom, so a
  // collector reading the directory meanwhile never takes it for metrics.
  std::string temp = dir + "/.oscar-agent-" + instance + ".prom.XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    err = "cannot write metrics into " + dir + ": " + std::strerror(errno);
    return false;
  }
  temp = name.data();
  const bool ok = ::fchmod(fd, 0644) == 0 && write_all(fd, metrics_text(instance, record)) && ::fsync(fd) == 0;
  const int saved = errno;
  if (::close(fd) != 0 || !ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    err = "cannot write " + path + ": " + std::strerror(ok ? errno : saved);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}
