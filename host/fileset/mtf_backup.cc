#include "host/fileset/mtf_backup.h"

#include <ace/Log_Msg.h>
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "host/base/fs_util.h"
#include "host/fileset/mtf_support.h"
#include "host/storage/client_io_ex.h"

namespace {

const unsigned int MAX_SEQ_PROBES = 100000;
const std::size_t COPY_CHUNK = 256 * 1024;

struct Source_Entry {
  std::string path;
  struct stat st;
};

// Collects path and, for a directory, everything below it, in name order.
bool scan(const std::string& path, std::vector<Source_Entry>& out, std::string& err) {
  Source_Entry e;
  e.path = path;
  if (::lstat(path.c_str(), &e.st) != 0) {
    err = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(e.st.st_mode) && !S_ISDIR(e.st.st_mode) && !S_ISLNK(e.st.st_mode)) return true;
  out.push_back(e);
  if (!S_ISDIR(e.st.st_mode)) return true;
  DIR* d = ::opendir(path.c_str());
  if (!d) {
    err = "cannot list " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (dirent* de = ::readdir(d)) {
    const std::string n = de->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    if (!scan(path == "/" ? "/" + n : path + "/" + n, out, err)) return false;
  }
  return true;
}

la_ssize_t write_to_storage(struct archive* a, void* client, const void* buf, size_t n) {
  Client_IO_Ex* io = static_cast<Client_IO_Ex*>(client);
  if (io->write(static_cast<const char*>(buf), n) < 0) {
    archive_set_error(a, EIO, "%s", io->error());
    return -1;
  }
  return static_cast<la_ssize_t>(n);
}

struct Archive_Writer_Deleter {
  void operator()(struct archive* a) const { archive_write_free(a); }
};
struct Entry_Deleter {
  void operator()(struct archive_entry* e) const { archive_entry_free(e); }
};

// Writes one file's entry and data; false with err.
bool store_entry(struct archive* a, const Source_Entry& src, MTF::Progress& progress, std::vector<char>& buf,
                 std::string& err) {
  std::unique_ptr<struct archive_entry, Entry_Deleter> entry(archive_entry_new());
  if (!entry) {
    err = "out of memory";
    return false;
  }
  archive_entry_copy_pathname(entry.get(), src.path.c_str() + 1);
  archive_entry_copy_stat(entry.get(), &src.st);
  int fd = -1;
  if (S_ISLNK(src.st.st_mode)) {
    char target[4096];
    const ssize_t n = ::readlink(src.path.c_str(), target, sizeof target - 1);
    if (n < 0) {
      err = "cannot read link " + src.path + ": " + std::strerror(errno);
      return false;
    }
    target[n] = '\0';
    archive_entry_copy_symlink(entry.get(), target);
  } else if (S_ISREG(src.st.st_mode)) {
    fd = open_cloexec(src.path.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0) {
      err = "cannot open " + src.path + ": " + std::strerror(errno);
      return false;
    }
  }
  if (archive_write_header(a, entry.get()) != ARCHIVE_OK) {
    err = std::string("cannot store ") + src.path + ": " + archive_error_string(a);
    if (fd >= 0) ::close(fd);
    return false;
  }
  bool ok = true;
  unsigned long long left = fd >= 0 ? static_cast<unsigned long long>(src.st.st_size) : 0;
  while (ok && left) {
    if (progress.canceling()) {
      err = "the backup was canceled";
      ok = false;
      break;
    }
    const std::size_t want = static_cast<std::size_t>(std::min<unsigned long long>(left, buf.size()));
    const ssize_t n = ::read(fd, buf.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? "cannot read " + src.path + ": " + std::strerror(errno)
                  : src.path + " became shorter while it was stored";
      ok = false;
      break;
    }
    if (archive_write_data(a, buf.data(), static_cast<size_t>(n)) != n) {
      err = std::string("cannot store ") + src.path + ": " + archive_error_string(a);
      ok = false;
      break;
    }
    left -= static_cast<unsigned long long>(n);
    progress.advance(static_cast<unsigned long long>(n), 0);
  }
  if (fd >= 0) ::close(fd);
  if (ok) progress.advance(0, 1);
  return ok;
}

}  // namespace

MTF_Backup::MTF_Backup(MTF::Event_Handler* handler, MTF::Metadata& metadata, const ACE_Log_Msg_Callback_var& log)
    : handler_(handler), metadata_(metadata), log_(log) {}

bool MTF_Backup::add_source(const std::string& path) {
  if (path.empty()) return false;
  sources_.push_back(path);
  return true;
}

bool MTF_Backup::fail(const std::string& why) {
  error_ = why;
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l File-set backup failed: %C\n"), why.c_str()));
  return false;
}

bool MTF_Backup::backup() {
  MTF::Log_Binding binding(log_);
  size_ = set_size_ = set_storage_size_ = 0;
  error_.clear();
  if (uuid_.empty() || pool_uuid_.empty() || host_uuid_.empty() || minor_resource_id_.empty())
    return fail("the set needs a uuid, a pool, a host and a minor resource id");
  if (sources_.empty()) return fail("no source to back up");
  if (incremental_) return fail("incremental file sets are not supported");
  std::string err;
  if (!MTF::run_action(action_handler_, true, err)) return fail(err);

  std::vector<Source_Entry> entries;
  unsigned long long total = 0, files = 0;
  for (const std::string& s : sources_) {
    if (s[0] != '/') return fail("source " + s + " is not an absolute path");
    if (!scan(s, entries, err)) return fail(err);
  }
  for (const Source_Entry& e : entries) {
    if (S_ISREG(e.st.st_mode)) total += static_cast<unsigned long long>(e.st.st_size);
    ++files;
  }

  Client_IO_Base::Options opts = options_;
  opts.compression_method = mtf_to_compression(compression_);
  opts.compression_level = compression_level_;
  opts.overwrite = false;
  Client_IO_Ex io;
  if (!MTF::connect_set_directory(io, opts, pool_uuid_, device_uuid_.c_str(), false, host_uuid_, minor_resource_id_,
                                  err))
    return fail(err);
  unsigned int seq = seq_;
  for (unsigned int probe = 0;; ++probe, ++seq) {
    const int data = io.exists(MTF::mtf_name(minor_resource_id_, seq, 0).c_str());
    const int cat = io.exists(MTF::cat_name(minor_resource_id_, seq, 0).c_str());
    if (data < 0 || cat < 0) return fail(io.error());
    if (!data && !cat) break;
    if (probe == MAX_SEQ_PROBES) return fail("no free sequence number for the set");
  }
  const std::string data_name = MTF::mtf_name(minor_resource_id_, seq, 0);
  const std::string cat_name = MTF::cat_name(minor_resource_id_, seq, 0);
  if (!io.open(data_name.c_str(), Client_IO_Ex::MODE_WRITE)) return fail(io.error());

  MTF::Progress progress(handler_, total, files);
  {
    std::unique_ptr<struct archive, Archive_Writer_Deleter> a(archive_write_new());
    if (!a || archive_write_set_format_pax_restricted(a.get()) != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(a.get(), 1) != ARCHIVE_OK ||
        archive_write_open(a.get(), &io, nullptr, write_to_storage, nullptr) != ARCHIVE_OK)
      return fail(std::string("cannot start the set: ") + (a ? archive_error_string(a.get()) : "out of memory"));
    std::vector<char> buf(COPY_CHUNK);
    nlohmann::json list = nlohmann::json::array();
    for (const Source_Entry& e : entries) {
      if (!store_entry(a.get(), e, progress, buf, err)) return fail(err);
      const char* kind = S_ISREG(e.st.st_mode) ? "file" : S_ISDIR(e.st.st_mode) ? "dir" : "symlink";
      list.push_back({{"path", e.path}, {"type", kind}, {"size", S_ISREG(e.st.st_mode) ? e.st.st_size : 0}});
      if (handler_) handler_->notify_event(MTF::Event_Handler::EVENT_FILE_STORED, e.path.c_str());
    }
    if (archive_write_close(a.get()) != ARCHIVE_OK)
      return fail(std::string("cannot complete the set: ") + archive_error_string(a.get()));
    if (!io.close()) return fail(io.error());
    set_size_ = io.original_size();
    set_storage_size_ = io.storage_size();

    metadata_.set_seq(seq);
    metadata_.set_backup_set_size(set_size_);
    const nlohmann::json cat = {
        {"uuid", uuid_},       {"data_file", data_name}, {"data_size", set_size_},       {"files", list},
        {"file_count", files}, {"size", total},          {"metadata", metadata_.value()}};
    const std::string text = cat.dump();
    if (!io.open(cat_name.c_str(), Client_IO_Ex::MODE_WRITE) || io.write(text.data(), text.size()) < 0 || !io.close()) {
      const std::string why = io.error();
      io.remove(data_name.c_str());
      return fail(why);
    }
    set_storage_size_ += io.storage_size();
  }
  size_ = total;
  seq_ = seq;
  metadata_.set_backup_set_storage_size(set_storage_size_);
  progress.finish();
  if (!MTF::run_action(action_handler_, false, err)) return fail(err);
  return true;
}
