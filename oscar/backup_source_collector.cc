#include "oscar/backup_source_collector.h"

#include <ace/Log_Msg.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

namespace oscar {

namespace {

const char ENTRY_PREFIX[] = "oscar";

// The "/"-separated segments of an entry's path; doubled, leading and
// trailing separators make no empty segments.
std::vector<std::string> path_segments(const std::string& path) {
  std::vector<std::string> parts;
  boost::split(parts, path, boost::is_any_of("/"));
  std::vector<std::string> segments;
  for (std::string& p : parts) {
    if (!p.empty()) segments.push_back(std::move(p));
  }
  return segments;
}

}  // namespace

int Backup_Source_Collector::collect(const std::vector<std::string>& entries) {
  sources_.reserve(sources_.size() + entries.size());
  for (const std::string& entry : entries) {
    if (entry.compare(0, sizeof(ENTRY_PREFIX) - 1, ENTRY_PREFIX) != 0) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to collect %s source:\"%s\" to backup\n"), ENTRY_PREFIX, entry.c_str()));
      return -1;
    }
    const std::vector<std::string> seg = path_segments(entry);
    if (seg.size() < 2) continue;
    Source s;
    s.servername = seg[1];
    if (seg.size() >= 3) s.dbname = seg[2];
    if (seg.size() >= 4) s.schema = seg[3];
    if (seg.size() >= 5) s.table = seg[4];
    sources_.push_back(std::move(s));
  }
  return 0;
}

}  // namespace oscar
