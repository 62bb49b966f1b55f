#include "datafiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "sim_util.h"

namespace sim {

namespace {

uint64_t splitmix(uint64_t& x) {
  uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

void put_le(unsigned char* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool pwrite_all(int fd, const unsigned char* buf, size_t len, uint64_t off) {
  while (len > 0) {
    ssize_t n = ::pwrite(fd, buf, len, static_cast<off_t>(off));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    buf += n;
    len -= static_cast<size_t>(n);
    off += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

bool list_data_files(const std::string& dir, std::vector<Data_File>& files) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  std::vector<Data_File> found;
  while (struct dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    std::string path = dir + "/" + name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    found.push_back(Data_File{name, path, static_cast<uint64_t>(st.st_size)});
  }
  ::closedir(d);
  std::sort(found.begin(), found.end(), [](const Data_File& a, const Data_File& b) { return a.name < b.name; });
  files = std::move(found);
  return true;
}

uint64_t page_lsn(const unsigned char* page, size_t len) {
  if (len < PAGE_HEADER_SIZE) return 0;
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | page[i];
  return v;
}

void fill_page(unsigned char* page, uint32_t page_no, uint64_t lsn, uint64_t seed) {
  put_le(page, lsn, 8);
  put_le(page + 8, page_no, 4);
  std::memcpy(page + 12, "OSPG", 4);
  uint64_t x = seed ^ (static_cast<uint64_t>(page_no) * 0x9e3779b97f4a7c15ULL);
  // First half: incompressible bytes; second half: repetitive row text, so
  // that compressing storage has something to gain, as with real pages.
  size_t half = PAGE_SIZE / 2;
  for (size_t i = PAGE_HEADER_SIZE; i + 8 <= half; i += 8) put_le(page + i, splitmix(x), 8);
  char row[64];
  int n = std::snprintf(row, sizeof row, "row %08u key=%016llx name=customer-%06u;", page_no,
                        static_cast<unsigned long long>(splitmix(x)), page_no % 1000000);
  size_t rl = n > 0 ? static_cast<size_t>(n) : 1;
  for (size_t i = half; i < PAGE_SIZE; ++i) page[i] = static_cast<unsigned char>(row[(i - half) % rl]);
}

bool create_data_file(const std::string& path, uint64_t pages, uint64_t lsn, uint64_t seed, std::string& err) {
  Fd f{::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640)};
  if (f.fd < 0) {
    err = "cannot create data file " + path + ": " + std::strerror(errno);
    return false;
  }
  constexpr size_t BATCH = 128;
  std::vector<unsigned char> buf(PAGE_SIZE * BATCH);
  for (uint64_t p = 0; p < pages;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(BATCH, pages - p));
    for (size_t i = 0; i < n; ++i) fill_page(&buf[i * PAGE_SIZE], static_cast<uint32_t>(p + i), lsn, seed);
    if (!write_all(f.fd, buf.data(), n * PAGE_SIZE)) {
      err = "cannot write data file " + path + ": " + std::strerror(errno);
      return false;
    }
    p += n;
  }
  return true;
}

bool create_instance_data(const std::string& dir, const json& inst, const std::string& name, uint64_t total_bytes,
                          std::string& err) {
  if (!make_dirs(dir, 0750)) {
    err = "cannot create data directory " + dir;
    return false;
  }
  // Shares of the total by tablespace kind: user data and system data weigh most.
  uint64_t total_pages = std::max<uint64_t>(total_bytes / PAGE_SIZE, 1);
  uint64_t lsn = inst.value("lsn", uint64_t{1});
  // The user data share is split among the user tablespaces.
  uint64_t user_files = 0;
  for (const auto& ts : inst["tablespaces"]) user_files += ts.value("kind", "p") == "p" ? 1 : 0;
  for (const auto& ts : inst["tablespaces"]) {
    std::string kind = ts.value("kind", "p");
    uint64_t weight = kind == "p" ? 40 : kind == "u" ? 15 : kind == "t" ? 5 : 13;
    uint64_t share = kind == "p" ? std::max<uint64_t>(user_files, 1) : 1;
    uint64_t pages = std::max<uint64_t>(total_pages * weight / 100 / share, 4);
    std::string file = ts.value("datafile", "");
    if (file.empty()) continue;
    uint64_t seed = fnv1a(name.data(), name.size(), fnv1a(file.data(), file.size()));
    if (!create_data_file(dir + "/" + file, pages, lsn, seed, err)) return false;
  }
  return true;
}

bool touch_instance_data(const std::string& dir, json& inst, std::string& err) {
  std::vector<Data_File> files;
  if (!list_data_files(dir, files) || files.empty()) {
    err = "no data files in " + dir;
    return false;
  }
  uint64_t k = inst.value("touch_count", uint64_t{0}) + 1;
  uint64_t lsn = inst.value("lsn", uint64_t{1});
  uint64_t scn = inst.value("scn", uint64_t{1});
  std::vector<unsigned char> page(PAGE_SIZE);
  // Every call changes pages in two of the files, chosen by the call number.
  for (size_t f = 0; f < 2 && f < files.size(); ++f) {
    const Data_File& df = files[(k + f * (files.size() / 2 + 1)) % files.size()];
    uint64_t pages = df.size / PAGE_SIZE;
    if (pages == 0) continue;
    Fd fd{::open(df.path.c_str(), O_WRONLY | O_CLOEXEC)};
    if (fd.fd < 0) {
      err = "cannot open data file " + df.path + ": " + std::strerror(errno);
      return false;
    }
    uint64_t count = std::max<uint64_t>(pages / 50, 1);
    for (uint64_t j = 0; j < count; ++j) {
      uint64_t p = (k * 7919 + j * 104729 + f * 31) % pages;
      fill_page(page.data(), static_cast<uint32_t>(p), ++lsn, k * 0x100000001b3ULL + j);
      if (!pwrite_all(fd.fd, page.data(), PAGE_SIZE, p * PAGE_SIZE)) {
        err = "cannot write data file " + df.path + ": " + std::strerror(errno);
        return false;
      }
    }
    // Every third call the first changed file also grows by two pages.
    if (f == 0 && k % 3 == 0) {
      for (uint64_t g = 0; g < 2; ++g) {
        fill_page(page.data(), static_cast<uint32_t>(pages + g), ++lsn, k ^ 0xabcdefULL);
        if (!pwrite_all(fd.fd, page.data(), PAGE_SIZE, (pages + g) * PAGE_SIZE)) {
          err = "cannot grow data file " + df.path + ": " + std::strerror(errno);
          return false;
        }
      }
    }
  }
  inst["touch_count"] = k;
  inst["lsn"] = lsn;
  inst["scn"] = scn + 1;
  return true;
}

bool checksum_data(const std::string& dir, uint64_t& digest, std::string& err) {
  std::vector<Data_File> files;
  if (!list_data_files(dir, files)) {
    err = "cannot read data directory " + dir;
    return false;
  }
  uint64_t h = FNV_OFFSET;
  std::vector<unsigned char> buf(1 << 20);
  for (const Data_File& df : files) {
    h = fnv1a(df.name.c_str(), df.name.size() + 1, h);
    unsigned char size[8];
    put_le(size, df.size, 8);
    h = fnv1a(size, sizeof size, h);
    Fd fd{::open(df.path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0) {
      err = "cannot open data file " + df.path + ": " + std::strerror(errno);
      return false;
    }
    while (true) {
      long n = read_full(fd.fd, buf.data(), buf.size());
      if (n < 0) {
        err = "cannot read data file " + df.path + ": " + std::strerror(errno);
        return false;
      }
      if (n == 0) break;
      h = fnv1a(buf.data(), static_cast<size_t>(n), h);
    }
  }
  digest = h;
  return true;
}

}  // namespace sim
