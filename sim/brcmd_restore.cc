// brcmd restore: reads one backup set from a fifo and applies it to the
// instance's data files. The feeder sends the head and the info data, then
// the whole set again from its first byte, then closes its end.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include "backup_info.h"
#include "brcmd.h"
#include "datafiles.h"
#include "lastlsn.h"
#include "sim_util.h"
#include "stream_io.h"

namespace sim {

namespace {

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool safe_file_name(const std::string& n) {
  return !n.empty() && n != "." && n != ".." && n[0] != '.' && n.find('/') == std::string::npos;
}

// Reads head and info data; false with err on a bad head or info.
bool read_info_block(Stream_Reader& in, std::string& block, Backup_Info& info, std::string& err) {
  unsigned char head[HEAD_SIZE];
  if (!in.get(head, HEAD_SIZE, err)) return false;
  uint32_t total = head_total(head);
  if (!head_has_magic(head) || total <= HEAD_SIZE || total - HEAD_SIZE > MAX_INFO_SIZE) {
    err = "bad backup head (announces " + std::to_string(total) + " bytes)";
    return false;
  }
  std::string text(total - HEAD_SIZE, '\0');
  if (!in.get(&text[0], text.size(), err)) return false;
  block.assign(reinterpret_cast<char*>(head), HEAD_SIZE);
  block += text;
  return parse_info(text, info, err);
}

// Marks the instance's restore progress; null while a set is being applied.
bool set_restore_point(const Home& home, const std::string& name, const json& point, const Backup_Info* done,
                       std::string& err) {
  File_Lock lock(home.state_lock());
  json fresh;
  if (!lock.held() || !load_state(home, fresh, err)) return false;
  json& e = *find_instance(fresh, name);
  e["restore_point"] = point;
  if (done) {
    e["lsn"] = std::max(e.value("lsn", uint64_t{1}), done->lsn);
    e["scn"] = std::max(e.value("scn", uint64_t{1}), done->scn);
  }
  return save_state(home, fresh, err);
}

// Applies the data records up to END; files are the opened targets by name
// with their sizes.
bool apply_records(Stream_Reader& in, std::map<std::string, std::pair<int, uint64_t>>& files, std::string& err) {
  uint64_t records = 0, payload = 0;
  std::string line;
  while (true) {
    if (!in.get_line(line, 1024, err)) return false;
    std::istringstream ls(line);
    std::string word, name;
    uint64_t a = 0, b = 0;
    ls >> word;
    if (word == "END") {
      if (!(ls >> a >> b) || a != records || b != payload) {
        err = "backup stream end record does not match its data";
        return false;
      }
      if (!in.at_end(err)) {
        if (err.empty()) err = "data after the end of the backup set";
        return false;
      }
      return true;
    }
    std::string off_text, len_text;
    if (word != "DATA" || !(ls >> name >> off_text >> len_text) || !parse_u64(off_text, a) || !parse_u64(len_text, b)) {
      err = "bad record in backup stream";
      return false;
    }
    auto it = files.find(name);
    if (it == files.end() || a > it->second.second || b > it->second.second - a) {
      err = "record for " + name + " lies outside the files of the backup set";
      return false;
    }
    if (!in.get_to_file(it->second.first, a, b, err)) return false;
    ++records;
    payload += b;
  }
}

}  // namespace

int brcmd_restore(Brcmd_Run& run, json& state) {
  const std::string& name = run.instance;
  std::string err;
  if (run.opts['t'] != "backup_point_last") return run.fail("-t must be backup_point_last");
  if (running_server_pid(run.home, name)) return run.fail("database \"" + name + "\" is running; shut it down first");
  File_Lock data_lock(run.home.data_lock(name));
  if (!data_lock.held()) return run.fail("data files of " + name + " are locked by another tool");

  Fd fifo{open_fifo(run.opts['f'], false, err)};
  if (fifo.fd < 0) return run.fail(err);
  Stream_Reader in(fifo.fd, run.faults);
  std::string first, second;
  Backup_Info info, again;
  if (!read_info_block(in, first, info, err)) return run.fail(err);
  if (!read_info_block(in, second, again, err)) return run.fail(err);
  if (first != second) return run.fail("the backup set does not start again with the backup info it announced");

  const json& point = (*find_instance(state, name))["restore_point"];
  std::string have_id = point.is_object() ? point.value("backup_id", "") : "";
  std::string have_full = point.is_object() ? point.value("full_backup_id", "") : "";
  if (info.type == "incr" && info.base_id != have_id) {
    return run.fail("incremental backup " + info.backup_id + " needs backup " + info.base_id + " restored first");
  }
  if (info.type == "diff" && info.base_id != have_full) {
    return run.fail("differential backup " + info.backup_id + " needs full backup " + info.base_id + " restored first");
  }
  if (!set_restore_point(run.home, name, nullptr, nullptr, err)) return run.fail(err);
  run.note("restoring " + info.type + " backup " + info.backup_id + " into " + name);

  std::string dir = run.home.data_dir(name);
  if (!make_dirs(dir, 0750)) return run.fail("cannot create " + dir);
  std::map<std::string, std::pair<int, uint64_t>> targets;
  struct Closer {
    std::map<std::string, std::pair<int, uint64_t>>& m;
    ~Closer() {
      for (auto& t : m) ::close(t.second.first);
    }
  } closer{targets};
  bool full = info.type == "full";
  for (const Backup_File_Entry& f : info.files) {
    std::string base = base_name(f.path);
    if (!safe_file_name(base) || targets.count(base)) return run.fail("bad file name in backup info: " + f.path);
    std::string path = dir + "/" + base;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (full ? O_TRUNC : 0), 0640);
    if (fd < 0) return run.fail("cannot open " + path + ": " + std::strerror(errno));
    targets[base] = {fd, f.size};
    if (::ftruncate(fd, static_cast<off_t>(f.size)) != 0) return run.fail("cannot size " + path);
  }
  if (full) {
    // A full set defines the whole file set: files it does not name go.
    std::vector<Data_File> present;
    list_data_files(dir, present);
    for (const Data_File& p : present) {
      if (!targets.count(p.name)) ::unlink(p.path.c_str());
    }
  }
  if (!apply_records(in, targets, err)) return run.fail(err);
  run.note("backup " + info.backup_id + " restored, " + std::to_string(in.bytes()) + " bytes read");
  if (run.faults.has("fail-after-stream")) return run.fail("simulated failure after the stream");
  json done{{"backup_id", info.backup_id}, {"full_backup_id", info.full_id}};
  if (!set_restore_point(run.home, name, done, &info, err)) return run.fail(err);
  // The restored instance starts a new history: the next backup is full.
  if (!clear_chain(run.home.lastlsn_file(), name)) return run.fail("cannot write " + run.home.lastlsn_file());
  return 0;
}

}  // namespace sim
