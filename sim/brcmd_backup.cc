// brcmd backup: writes the backup stream of an instance into a fifo.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

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

// A run of consecutive pages to copy: [offset, offset + length) of a file.
struct Extent {
  uint64_t offset, length;
};

// The extents of a file that changed after base_lsn: pages whose LSN is
// newer, plus any trailing partial page. base_lsn 0 takes the whole file.
bool changed_extents(const Data_File& f, uint64_t base_lsn, std::vector<Extent>& out, std::string& err) {
  out.clear();
  if (base_lsn == 0) {
    if (f.size) out.push_back({0, f.size});
    return true;
  }
  Fd fd{::open(f.path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (fd.fd < 0) {
    err = "cannot open data file " + f.path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<unsigned char> buf(128 * PAGE_SIZE);
  for (uint64_t off = 0; off < f.size;) {
    long n = read_full(fd.fd, buf.data(), buf.size());
    if (n <= 0) {
      err = "cannot read data file " + f.path;
      return false;
    }
    for (long p = 0; p < n; p += static_cast<long>(PAGE_SIZE)) {
      size_t len = std::min<size_t>(PAGE_SIZE, static_cast<size_t>(n - p));
      if (len == PAGE_SIZE && page_lsn(&buf[static_cast<size_t>(p)], len) <= base_lsn) continue;
      uint64_t at = off + static_cast<uint64_t>(p);
      if (!out.empty() && out.back().offset + out.back().length == at) {
        out.back().length += len;
      } else {
        out.push_back({at, len});
      }
    }
    off += static_cast<uint64_t>(n);
  }
  return true;
}

std::string new_backup_id(const std::string& inst, uint64_t seq) {
  char ts[32];
  std::time_t now = std::time(nullptr);
  std::strftime(ts, sizeof ts, "%Y%m%d%H%M%S", std::localtime(&now));
  char id[96];
  std::snprintf(id, sizeof id, "%s-%s-%06llu", ts, inst.c_str(), static_cast<unsigned long long>(seq));
  return id;
}

}  // namespace

int brcmd_backup(Brcmd_Run& run, json& state) {
  const std::string& name = run.instance;
  json& inst = *find_instance(state, name);
  std::string type = run.opts['t'];
  if (type != "full" && type != "incr" && type != "diff") return run.fail("-t must be full, incr or diff");
  const json& acc = inst["account"];
  if (run.opts['u'] != acc.value("user", "") || run.opts['p'] != acc.value("password", "")) {
    return run.fail("authentication failed for user \"" + run.opts['u'] + "\"");
  }
  if (run.opts.count('P')) {
    Instance_Conf conf = read_instance_conf(run.home, name);
    std::string port = std::to_string(conf.exists ? conf.port : 2003);
    if (run.opts['P'] != port) return run.fail("database \"" + name + "\" is not configured on port " + run.opts['P']);
  }
  if (inst.value("archive_mode", "ARCHIVELOG") != "ARCHIVELOG" && running_server_pid(run.home, name)) {
    return run.fail("database \"" + name + "\" runs without archived logs; shut it down before a backup");
  }
  Chain_State chain = read_chain(run.home.lastlsn_file(), name);
  if (type != "full" && !chain.complete()) return run.fail("no base backup recorded for an " + type + " backup");

  File_Lock data_lock(run.home.data_lock(name));
  if (!data_lock.held()) return run.fail("data files of " + name + " are locked by another tool");
  Backup_Info info;
  std::string err;
  {
    File_Lock lock(run.home.state_lock());
    json fresh;
    if (!lock.held() || !load_state(run.home, fresh, err)) return run.fail(err.empty() ? "cannot lock state" : err);
    json& e = *find_instance(fresh, name);
    uint64_t seq = e.value("backup_count", uint64_t{0}) + 1;
    info.lsn = e.value("lsn", uint64_t{1}) + 1;
    info.scn = e.value("scn", uint64_t{1}) + 1;
    e["backup_count"] = seq;
    e["lsn"] = info.lsn;
    e["scn"] = info.scn;
    if (!save_state(run.home, fresh, err)) return run.fail(err);
    info.backup_id = new_backup_id(name, seq);
  }
  info.type = type;
  info.instance = name;
  if (type == "incr") {
    info.base_id = chain.last_id, info.base_lsn = chain.last_lsn, info.full_id = chain.last_full_id;
  } else if (type == "diff") {
    info.base_id = chain.last_full_id, info.base_lsn = chain.last_full_lsn, info.full_id = chain.last_full_id;
  } else {
    info.full_id = info.backup_id;
  }
  std::vector<Data_File> files;
  if (!list_data_files(run.home.data_dir(name), files) || files.empty()) {
    return run.fail("no data files in " + run.home.data_dir(name));
  }
  for (const Data_File& f : files) info.files.push_back({f.path, f.size});

  std::string text = format_info(info, run.faults.has("info-large") ? 9000 : 0);
  uint32_t total = static_cast<uint32_t>(HEAD_SIZE + text.size());
  if (run.faults.has("head-512")) total = HEAD_SIZE, text.clear();
  if (run.faults.has("head-short")) total = 256;
  std::string head = make_head(total);

  run.note("writing " + type + " backup " + info.backup_id + " to " + run.opts['f']);
  Fd fifo{open_fifo(run.opts['f'], true, err)};
  if (fifo.fd < 0) return run.fail(err);
  Stream_Writer out(fifo.fd, run.faults);
  if (!out.put(head.data(), head.size(), err) || !out.put(text.data(), text.size(), err)) return run.fail(err);
  uint64_t records = 0, payload = 0;
  std::vector<Extent> extents;
  for (const Data_File& f : files) {
    if (!changed_extents(f, info.base_lsn, extents, err)) return run.fail(err);
    if (extents.empty()) continue;
    Fd src{::open(f.path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (src.fd < 0) return run.fail("cannot open data file " + f.path + ": " + std::strerror(errno));
    for (const Extent& x : extents) {
      std::string rec = "DATA " + f.name + " " + std::to_string(x.offset) + " " + std::to_string(x.length) + "\n";
      if (!out.put(rec.data(), rec.size(), err) || !out.put_file(src.fd, x.offset, x.length, err)) {
        return run.fail(err);
      }
      ++records;
      payload += x.length;
    }
  }
  std::string end = "END " + std::to_string(records) + " " + std::to_string(payload) + "\n";
  if (!out.put(end.data(), end.size(), err) || !out.flush(err)) return run.fail(err);
  ::close(fifo.fd);
  fifo.fd = -1;
  run.note("backup " + info.backup_id + " written: " + std::to_string(out.bytes()) + " bytes, " +
           std::to_string(records) + " records");
  if (run.faults.has("fail-after-stream")) return run.fail("simulated failure after the stream");
  if (run.faults.has("no-lastlsn")) return 0;
  if (type == "full") {
    chain.last_full_id = info.backup_id, chain.last_full_lsn = info.lsn, chain.last_full_scn = info.scn;
  }
  chain.last_id = info.backup_id, chain.last_lsn = info.lsn, chain.last_scn = info.scn;
  if (!write_chain(run.home.lastlsn_file(), name, chain)) return run.fail("cannot write " + run.home.lastlsn_file());
  return 0;
}

}  // namespace sim
