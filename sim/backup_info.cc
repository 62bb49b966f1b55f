#include "backup_info.h"

#include <cstring>
#include <sstream>

#include "sim_util.h"

namespace sim {

namespace {
const char MAGIC[] = "OSCAR-BRCMD-V1";
}

std::string format_info(const Backup_Info& info, size_t padding) {
  std::ostringstream o;
  o << "# OSCAR brcmd backup info\n"
    << "backup_id: " << info.backup_id << "\n"
    << "backup_type: " << info.type << "\n"
    << "instance: " << info.instance << "\n"
    << "lsn: " << info.lsn << "\n"
    << "scn: " << info.scn << "\n"
    << "base_backup_id: " << info.base_id << "\n"
    << "base_lsn: " << info.base_lsn << "\n"
    << "full_backup_id: " << info.full_id << "\n"
    << "files: " << info.files.size() << "\n";
  for (const Backup_File_Entry& f : info.files) o << f.path << "=" << f.size << "\n";
  std::string text = o.str();
  while (text.size() < padding) text += "# padding ....................................................\n";
  return text;
}

bool parse_info(const std::string& text, Backup_Info& info, std::string& err) {
  std::istringstream in(text);
  std::string line;
  Backup_Info r;
  uint64_t files = UINT64_MAX;
  bool have_id = false, have_type = false;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t colon = line.find(": ");
    size_t eq = line.rfind('=');
    if (!line.empty() && line[0] == '/' && eq != std::string::npos) {
      Backup_File_Entry f{line.substr(0, eq), 0};
      if (!parse_u64(line.substr(eq + 1), f.size)) {
        err = "bad file line in backup info: " + line;
        return false;
      }
      r.files.push_back(f);
      continue;
    }
    if (colon == std::string::npos) {
      err = "bad line in backup info: " + line;
      return false;
    }
    std::string key = line.substr(0, colon), v = line.substr(colon + 2);
    bool num_ok = true;
    if (key == "backup_id")
      r.backup_id = v, have_id = true;
    else if (key == "backup_type")
      r.type = v, have_type = true;
    else if (key == "instance")
      r.instance = v;
    else if (key == "lsn")
      num_ok = parse_u64(v, r.lsn);
    else if (key == "scn")
      num_ok = parse_u64(v, r.scn);
    else if (key == "base_backup_id")
      r.base_id = v;
    else if (key == "base_lsn")
      num_ok = parse_u64(v, r.base_lsn);
    else if (key == "full_backup_id")
      r.full_id = v;
    else if (key == "files")
      num_ok = parse_u64(v, files);
    if (!num_ok) {
      err = "bad number in backup info: " + line;
      return false;
    }
  }
  if (!have_id || !have_type || r.backup_id.empty() || files != r.files.size()) {
    err = "backup info is incomplete";
    return false;
  }
  if (r.type != "full" && r.type != "incr" && r.type != "diff") {
    err = "unknown backup type in backup info: " + r.type;
    return false;
  }
  info = std::move(r);
  return true;
}

std::string make_head(uint32_t total) {
  std::string head(HEAD_SIZE, '\0');
  for (int i = 0; i < 4; ++i) head[i] = static_cast<char>(total >> (24 - 8 * i));
  std::memcpy(&head[4], MAGIC, sizeof MAGIC - 1);
  return head;
}

uint32_t head_total(const unsigned char* head) {
  return (uint32_t{head[0]} << 24) | (uint32_t{head[1]} << 16) | (uint32_t{head[2]} << 8) | head[3];
}

bool head_has_magic(const unsigned char* head) { return std::memcmp(head + 4, MAGIC, sizeof MAGIC - 1) == 0; }

}  // namespace sim
