#include "agent/pool_scan.h"

#include <algorithm>

#include "agent/job_documents.h"
#include "host/services/instance_manager.h"
#include "host/storage/client_io_ex.h"

namespace {

// Longest manifest read (parse_manifest refuses more anyway).
const std::size_t MANIFEST_READ_MAX = 1024 * 1024 + 1;

std::string text_of(const nlohmann::json& o, const char* key) {
  const auto it = o.is_object() ? o.find(key) : o.end();
  return o.is_object() && it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string base_url(const Pool_Info& pool) {
  std::string url = pool.url;
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

// Reads one stored file whole (decrypted, decompressed), at most `limit` bytes.
bool read_whole(const std::string& url, const Client_IO_Base::Options& options, const std::string& name,
                std::size_t limit, std::string& text, std::string& err) {
  Client_IO_Ex io;
  if (!io.connect(url, options) || !io.open(name.c_str(), Client_IO_Ex::MODE_READ)) {
    err = io.error();
    return false;
  }
  text.clear();
  char buf[16384];
  for (;;) {
    const ssize_t n = io.read(buf, sizeof buf);
    if (n < 0) {
      err = io.error();
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > limit) break;
  }
  io.close();
  return true;
}

void read_manifest(const Pool_Info& pool, const Client_IO_Base::Options& options, Found_Manifest& found) {
  const std::size_t slash = found.name.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : found.name.substr(0, slash);
  const std::string file = found.name.substr(slash == std::string::npos ? 0 : slash + 1);
  if (!valid_set_folder(folder)) {
    found.error = "it lies outside the folder of any set";
    return;
  }
  std::string text;
  if (!read_whole(base_url(pool) + "/" + folder, options, file, MANIFEST_READ_MAX, text, found.error)) {
    found.undecryptable = found.error.find("fails authentication") != std::string::npos ||
                          found.error.find("not encrypted") != std::string::npos ||
                          found.error.find("without a cipher") != std::string::npos;
    return;
  }
  Set_Manifest m;
  if (!parse_manifest(text, m, found.error)) return;
  const std::string uuid = text_of(m.row, "uuid");
  if (text_of(m.row, "uri") != folder || manifest_name(uuid) != file) {
    found.error = "it describes set " + uuid + " of folder " + text_of(m.row, "uri") + ", not the set its name says";
    return;
  }
  found.manifest = std::move(m);
  found.readable = true;
}

}  // namespace

bool Pool_Scan::wrong_key() const {
  if (manifests.empty()) return false;
  return std::all_of(manifests.begin(), manifests.end(), [](const Found_Manifest& f) { return f.undecryptable; });
}

const Stored_Entry* Pool_Scan::find(const std::string& name) const {
  const auto it = std::lower_bound(entries.begin(), entries.end(), name,
                                   [](const Stored_Entry& e, const std::string& n) { return e.name < n; });
  for (auto at = it; at != entries.end() && at->name == name; ++at)
    if (!at->temporary) return &*at;
  return nullptr;
}

// The pool's client options for reading its files, whatever their compression.
static bool reading_options(const Pool_Info& pool, Client_IO_Base::Options& options, std::string& err) {
  if (!set_options_by_pool(options, pool)) {
    err = "the settings of pool " + pool.name + " are not usable";
    return false;
  }
  options.compression_method = COMPR_AUTO;
  return true;
}

bool scan_pool(const Pool_Info& pool, Pool_Scan& out, std::string& err) {
  out = Pool_Scan();
  Client_IO_Base::Options options;
  if (!reading_options(pool, options, err)) return false;
  Client_IO_Ex io;
  if (!io.connect(base_url(pool), options) || !io.list_tree(out.entries)) {
    err = "cannot list pool " + pool.name + ": " + io.error();
    return false;
  }
  for (const Stored_Entry& e : out.entries) {
    if (e.temporary || !is_manifest_name(e.name)) continue;
    Found_Manifest found;
    found.name = e.name;
    read_manifest(pool, options, found);
    out.manifests.push_back(std::move(found));
  }
  return true;
}

std::vector<std::string> manifest_files(const Found_Manifest& found) {
  std::vector<std::string> names;
  const std::string folder = text_of(found.manifest.row, "uri");
  for (const std::string& f : set_files(found.manifest.row)) names.push_back(folder + "/" + f);
  return names;
}

bool set_present(const Pool_Scan& scan, const Found_Manifest& found, std::string& why) {
  unsigned long long total = 0;
  for (const std::string& name : manifest_files(found)) {
    const Stored_Entry* e = scan.find(name);
    if (e == nullptr) {
      why = "its stored file " + name + " is missing";
      return false;
    }
    total += e->size;
  }
  const unsigned long long recorded = found.manifest.row["storages"][0]["size"].get<unsigned long long>();
  if (total != recorded) {
    why = "its stored files hold " + std::to_string(total) + " bytes, the manifest records " + std::to_string(recorded);
    return false;
  }
  return true;
}

bool verify_set_digest(const Pool_Info& pool, const Found_Manifest& found, std::string& why) {
  const std::vector<std::string> files = set_files(found.manifest.row);
  const nlohmann::json& storage = found.manifest.row["storages"][0];
  if (files.size() != 1 || !storage.contains("digest")) return true;
  Client_IO_Base::Options options;
  if (!reading_options(pool, options, why)) return false;
  Client_IO_Ex io;
  if (!io.connect(base_url(pool) + "/" + text_of(found.manifest.row, "uri"), options) ||
      !io.verify(files[0].c_str(), storage["size"].get<unsigned long long>(), text_of(storage, "digest"))) {
    why = io.error();
    return false;
  }
  return true;
}

bool of_host(const Set_Manifest& m, const std::string& host_id, const std::string& from_host) {
  if (m.host_id == host_id) return true;
  return !from_host.empty() && (m.host_id == from_host || m.host_name == from_host);
}

std::string manifest_set_id(const Set_Manifest& m) {
  const std::string id = text_of(m.row, m.view == "oscar_brcmd" ? "backup_id" : "uuid");
  return id.empty() ? text_of(m.row, "uuid") : id;
}

std::string folder_of(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

bool Host_Part::holds(const std::string& name) const {
  const std::string folder = folder_of(name);
  if (folder.empty()) return false;
  return roots.count(folder.substr(0, folder.find('/'))) != 0 || folders.count(folder) != 0;
}

Host_Part host_part(const Pool_Scan& scan, const std::string& host_id, const std::string& from_host) {
  Host_Part part;
  part.roots.insert(host_id);
  if (!from_host.empty()) part.roots.insert(from_host);
  for (const Instance_ptr& inst : Instance_Manager::instance()->list("oscar")) part.roots.insert(resource_id(*inst));
  for (const Found_Manifest& f : scan.manifests) {
    if (!f.readable || !of_host(f.manifest, host_id, from_host)) continue;
    part.roots.insert(f.manifest.host_id);
    part.folders.insert(text_of(f.manifest.row, "uri"));
  }
  return part;
}
