#include "host/fileset/mtf_restore.h"

#include <ace/Log_Msg.h>
#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <memory>

#include "host/fileset/mtf_support.h"
#include "host/storage/client_io_ex.h"

namespace {

const std::size_t READ_CHUNK = 256 * 1024;
const std::size_t MAX_CATALOGUE = 64 * 1024 * 1024;

struct Reader_Context {
  Client_IO_Ex* io;
  std::vector<char> buf;
};

la_ssize_t read_from_storage(struct archive* a, void* client, const void** out) {
  Reader_Context* ctx = static_cast<Reader_Context*>(client);
  const ssize_t n = ctx->io->read(ctx->buf.data(), ctx->buf.size());
  if (n < 0) {
    archive_set_error(a, EIO, "%s", ctx->io->error());
    return -1;
  }
  *out = ctx->buf.data();
  return n;
}

struct Archive_Reader_Deleter {
  void operator()(struct archive* a) const { archive_read_free(a); }
};
struct Archive_Writer_Deleter {
  void operator()(struct archive* a) const { archive_write_free(a); }
};

bool has_dot_dot(const std::string& path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0 && end - start == 2) return true;
    start = end + 1;
  }
  return false;
}

std::string normalised_dir(const std::string& dir) {
  std::string d = dir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  return d;
}

}  // namespace

MTF_Restore::MTF_Restore(MTF::Event_Handler* handler, const ACE_Log_Msg_Callback_var& log)
    : handler_(handler), log_(log) {}

bool MTF_Restore::fail(const std::string& why) {
  error_ = why;
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l File-set restore for definition %C failed: %C\n"), definition_uuid_.c_str(),
             why.c_str()));
  return false;
}

bool MTF_Restore::check_selection(std::string& err) const {
  if (!selection_) return true;
  if (!selection_->is_array()) {
    err = "the selection is not an array";
    return false;
  }
  for (const nlohmann::json& s : *selection_) {
    if (!s.is_object() || !s.contains("dir") || !s["dir"].is_string()) {
      err = "a selection element has no \"dir\" text";
      return false;
    }
  }
  return true;
}

bool MTF_Restore::selected(const std::string& path) const {
  if (!selection_) return true;
  for (const nlohmann::json& s : *selection_) {
    const std::string dir = normalised_dir(s["dir"].get<std::string>());
    if (dir.empty()) continue;
    if (dir == "/" || path == dir || path.compare(0, dir.size() + 1, dir + "/") == 0) return true;
  }
  return false;
}

bool MTF_Restore::restore() {
  MTF::Log_Binding binding(log_);
  size_ = set_size_ = 0;
  error_.clear();
  std::string err;
  if (pool_uuid_.empty() || backup_host_uuid_.empty() || backup_minor_resource_id_.empty())
    return fail("the set needs a pool, a backup host and a backup minor resource id");
  if (!check_selection(err)) return fail(err);
  if (!MTF::run_action(action_handler_, true, err)) return fail(err);

  Client_IO_Base::Options opts = options_;
  opts.compression_method = COMPR_AUTO;
  Client_IO_Ex io;
  if (!MTF::connect_set_directory(io, opts, pool_uuid_, nullptr, check_access_, backup_host_uuid_,
                                  backup_minor_resource_id_, err))
    return fail(err);

  // The catalogue file gives the amount of work for the progress.
  const std::string cat_name = MTF::cat_name(backup_minor_resource_id_, seq_, 0);
  std::string text;
  if (!io.open(cat_name.c_str(), Client_IO_Ex::MODE_READ)) return fail(io.error());
  for (;;) {
    char buf[65536];
    const ssize_t n = io.read(buf, sizeof buf);
    if (n < 0) return fail(io.error());
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > MAX_CATALOGUE) return fail("catalogue file " + cat_name + " is too large");
  }
  io.close();
  const nlohmann::json cat = nlohmann::json::parse(text, nullptr, false);
  if (!cat.is_object() || !cat.contains("files") || !cat["files"].is_array())
    return fail("catalogue file " + cat_name + " is malformed");
  unsigned long long total = 0, files = 0;
  for (const nlohmann::json& f : cat["files"]) {
    if (!f.is_object() || !f.contains("path") || !f["path"].is_string()) continue;
    if (!selected(f["path"].get<std::string>())) continue;
    ++files;
    if (f.contains("size") && f["size"].is_number_unsigned()) total += f["size"].get<unsigned long long>();
  }

  const std::string data_name = MTF::mtf_name(backup_minor_resource_id_, seq_, 0);
  if (!io.open(data_name.c_str(), Client_IO_Ex::MODE_READ)) return fail(io.error());
  Reader_Context ctx{&io, std::vector<char>(READ_CHUNK)};
  std::unique_ptr<struct archive, Archive_Reader_Deleter> in(archive_read_new());
  std::unique_ptr<struct archive, Archive_Writer_Deleter> out(archive_write_disk_new());
  if (!in || !out) return fail("out of memory");
  archive_read_support_format_tar(in.get());
  archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_UNLINK |
                                                ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT);
  if (archive_read_open(in.get(), &ctx, nullptr, read_from_storage, nullptr) != ARCHIVE_OK)
    return fail("cannot read set " + data_name + ": " + archive_error_string(in.get()));

  MTF::Progress progress(handler_, total, files);
  unsigned long long matched = 0;
  for (;;) {
    struct archive_entry* entry = nullptr;
    const int rc = archive_read_next_header(in.get(), &entry);
    if (rc == ARCHIVE_EOF) break;
    if (rc != ARCHIVE_OK) return fail("cannot read set " + data_name + ": " + archive_error_string(in.get()));
    const std::string path = std::string("/") + archive_entry_pathname(entry);
    if (has_dot_dot(path)) return fail("set " + data_name + " holds an unsafe path " + path);
    if (!selected(path)) {
      if (archive_read_data_skip(in.get()) != ARCHIVE_OK)
        return fail("cannot read set " + data_name + ": " + archive_error_string(in.get()));
      continue;
    }
    if (progress.canceling()) return fail("the restore was canceled");
    ++matched;
    archive_entry_copy_pathname(entry, path.c_str());
    if (archive_write_header(out.get(), entry) != ARCHIVE_OK)
      return fail("cannot restore " + path + ": " + archive_error_string(out.get()));
    for (;;) {
      const void* block = nullptr;
      size_t len = 0;
      la_int64_t offset = 0;
      const int r = archive_read_data_block(in.get(), &block, &len, &offset);
      if (r == ARCHIVE_EOF) break;
      if (r != ARCHIVE_OK) return fail("cannot read set " + data_name + ": " + archive_error_string(in.get()));
      if (archive_write_data_block(out.get(), block, len, offset) != ARCHIVE_OK)
        return fail("cannot restore " + path + ": " + archive_error_string(out.get()));
      size_ += len;
      progress.advance(len, 0);
    }
    if (archive_write_finish_entry(out.get()) != ARCHIVE_OK)
      return fail("cannot restore " + path + ": " + archive_error_string(out.get()));
    progress.advance(0, 1);
    if (handler_) handler_->notify_event(MTF::Event_Handler::EVENT_FILE_RESTORED, path.c_str());
  }
  // The tar end marker may come before the end of the stored file: read
  // the rest, so that a damaged end of the file is found too.
  for (;;) {
    const ssize_t n = io.read(ctx.buf.data(), ctx.buf.size());
    if (n < 0) return fail(io.error());
    if (n == 0) break;
  }
  set_size_ = io.original_size();
  io.close();
  if (archive_write_close(out.get()) != ARCHIVE_OK)
    return fail(std::string("cannot complete the restore: ") + archive_error_string(out.get()));
  if (selection_ && matched == 0) return fail("the selection matches nothing in set " + data_name);
  progress.finish();
  if (!MTF::run_action(action_handler_, false, err)) return fail(err);
  return true;
}
