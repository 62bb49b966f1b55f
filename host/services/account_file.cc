#include "host/services/account_file.h"

#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yajl/yajl_gen.h>
#include <yajl/yajl_parse.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/base/fs_util.h"

namespace {

// YAJL allocation that wipes every block before it is freed or moved. Each
// block carries its size in a header in front of the caller's bytes.
const std::size_t HEADER = alignof(std::max_align_t) > sizeof(std::size_t) ? alignof(std::max_align_t)
                                                                           : sizeof(std::size_t);

void* wiping_malloc(void*, std::size_t size) {
  char* block = static_cast<char*>(std::malloc(size + HEADER));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof size);
  return block + HEADER;
}

void wiping_free(void*, void* p) {
  if (p == nullptr) return;
  char* block = static_cast<char*>(p) - HEADER;
  std::size_t size;
  std::memcpy(&size, block, sizeof size);
  secure_memset(block, size + HEADER);
  std::free(block);
}

void* wiping_realloc(void* ctx, void* p, std::size_t size) {
  void* fresh = wiping_malloc(ctx, size);
  if (fresh == nullptr || p == nullptr) return fresh;
  std::size_t old;
  std::memcpy(&old, static_cast<char*>(p) - HEADER, sizeof old);
  std::memcpy(fresh, p, old < size ? old : size);
  wiping_free(ctx, p);
  return fresh;
}

yajl_alloc_funcs wiping_funcs = {wiping_malloc, wiping_realloc, wiping_free, nullptr};

const std::size_t MAX_FILE_SIZE = 16 * 1024 * 1024;

// Parse state: depth 1 is the top object, 2 the "accounts" array, 3 one
// account object. Anything else is an error.
struct Reader {
  std::vector<Account_Record>* out = nullptr;
  int depth = 0;
  bool seen_accounts = false;
  std::string key;
  Account_Record current;
  bool failed = false;
};

Reader& reader_of(void* ctx) { return *static_cast<Reader*>(ctx); }

int fail(Reader& r) {
  r.failed = true;
  return 0;
}

int on_string(void* ctx, const unsigned char* text, std::size_t len) {
  Reader& r = reader_of(ctx);
  if (r.depth != 3) return fail(r);
  const char* s = reinterpret_cast<const char*>(text);
  if (r.key == "password")
    r.current.password.assign(s, len);
  else if (r.key == "type")
    r.current.type.assign(s, len);
  else if (r.key == "instance")
    r.current.instance.assign(s, len);
  else if (r.key == "uid")
    r.current.uid.assign(s, len);
  else if (r.key == "user")
    r.current.user.assign(s, len);
  else
    return fail(r);
  return 1;
}

int on_start_map(void* ctx) {
  Reader& r = reader_of(ctx);
  if (r.depth == 0 || r.depth == 2) {
    ++r.depth;
    if (r.depth == 3) r.current = Account_Record();
    return 1;
  }
  return fail(r);
}

int on_map_key(void* ctx, const unsigned char* key, std::size_t len) {
  Reader& r = reader_of(ctx);
  r.key.assign(reinterpret_cast<const char*>(key), len);
  if (r.depth == 1 && r.key != "accounts") return fail(r);
  return 1;
}

int on_end_map(void* ctx) {
  Reader& r = reader_of(ctx);
  if (r.depth == 3) {
    if (r.current.type.empty() || r.current.instance.empty()) return fail(r);
    r.out->push_back(r.current);
    wipe(r.current.password);
  }
  --r.depth;
  return 1;
}

int on_start_array(void* ctx) {
  Reader& r = reader_of(ctx);
  if (r.depth != 1 || r.key != "accounts") return fail(r);
  r.seen_accounts = true;
  ++r.depth;
  return 1;
}

int on_end_array(void* ctx) {
  Reader& r = reader_of(ctx);
  --r.depth;
  return 1;
}

int on_other(void* ctx) { return fail(reader_of(ctx)); }
int on_boolean(void* ctx, int) { return fail(reader_of(ctx)); }
int on_number(void* ctx, const char*, std::size_t) { return fail(reader_of(ctx)); }

const yajl_callbacks READ_CALLBACKS = {on_other,     on_boolean, nullptr,    nullptr,        on_number,   on_string,
                                       on_start_map, on_map_key, on_end_map, on_start_array, on_end_array};

// Reads a whole descriptor into a secure string.
bool read_all(int fd, secure_string& text) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      secure_memset(buf, sizeof buf);
      return false;
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > MAX_FILE_SIZE) {
      secure_memset(buf, sizeof buf);
      errno = EFBIG;
      return false;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  secure_memset(buf, sizeof buf);
  return true;
}

bool gen_text(yajl_gen g, const std::string& s) {
  return yajl_gen_string(g, reinterpret_cast<const unsigned char*>(s.data()), s.size()) == yajl_gen_status_ok;
}

bool gen_secret(yajl_gen g, const secure_string& s) {
  return yajl_gen_string(g, reinterpret_cast<const unsigned char*>(s.data()), s.size()) == yajl_gen_status_ok;
}

}  // namespace

bool read_account_file(const std::string& path, std::vector<Account_Record>& out) {
  out.clear();
  const int fd = open_cloexec(path.c_str(), O_RDONLY | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open %C for reading, errno=%d, %m\n"), path.c_str(), errno));
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    ::close(fd);
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Refusing %C: it must be a regular file of this user with mode 0600\n"),
               path.c_str()));
    return false;
  }
  secure_string text;
  const bool read_ok = read_all(fd, text);
  const int saved = errno;
  ::close(fd);
  if (!read_ok) {
    errno = saved;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to read %C, errno=%d, %m\n"), path.c_str(), errno));
    return false;
  }

  Reader reader;
  reader.out = &out;
  yajl_handle h = yajl_alloc(&READ_CALLBACKS, &wiping_funcs, &reader);
  bool ok = h != nullptr;
  if (ok) {
    ok = yajl_parse(h, reinterpret_cast<const unsigned char*>(text.data()), text.size()) == yajl_status_ok &&
         yajl_complete_parse(h) == yajl_status_ok && !reader.failed && reader.seen_accounts;
    yajl_free(h);
  }
  wipe(text);
  if (!ok) {
    out.clear();
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l %C is not a valid accounts file\n"), path.c_str()));
    return false;
  }
  return true;
}

bool write_account_file(const std::string& path, const std::vector<Account_Record>& accounts) {
  yajl_gen g = yajl_gen_alloc(&wiping_funcs);
  if (g == nullptr) {
    errno = ENOMEM;
    return false;
  }
  yajl_gen_config(g, yajl_gen_beautify, 1);
  bool ok = yajl_gen_map_open(g) == yajl_gen_status_ok && gen_text(g, "accounts") &&
            yajl_gen_array_open(g) == yajl_gen_status_ok;
  for (const Account_Record& a : accounts) {
    ok = ok && yajl_gen_map_open(g) == yajl_gen_status_ok && gen_text(g, "type") && gen_text(g, a.type) &&
         gen_text(g, "instance") && gen_text(g, a.instance) && gen_text(g, "uid") && gen_text(g, a.uid) &&
         gen_text(g, "user") && gen_text(g, a.user) && gen_text(g, "password") && gen_secret(g, a.password) &&
         yajl_gen_map_close(g) == yajl_gen_status_ok;
  }
  ok = ok && yajl_gen_array_close(g) == yajl_gen_status_ok && yajl_gen_map_close(g) == yajl_gen_status_ok;
  const unsigned char* buf = nullptr;
  std::size_t len = 0;
  ok = ok && yajl_gen_get_buf(g, &buf, &len) == yajl_gen_status_ok;
  if (!ok) {
    yajl_gen_free(g);
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to build the accounts file\n")));
    return false;
  }

  const int rc = write_file_atomic(path, buf, len);
  const int saved = errno;
  yajl_gen_free(g);
  if (rc != 0) {
    errno = saved;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write %C, errno=%d, %m\n"), path.c_str(), errno));
    return false;
  }
  return true;
}
