#include "host/catalog/set_manifest.h"

#include <algorithm>
#include <regex>

#include "host/services/host_manager.h"
#include "host/services/instance_manager.h"
#include "host/storage/client_io_ex.h"
#include "host/storage/pool_info.h"

#ifndef OSCAR_VERSION
#define OSCAR_VERSION "unknown"
#endif

const int MANIFEST_FORMAT = 1;

namespace {

using json = nlohmann::json;

const char* const SUFFIX = ".manifest";
// Longest manifest read; a real one is a few KiB.
const std::size_t MANIFEST_MAX = 1024 * 1024;

std::string text_of(const json& o, const char* key) {
  const auto it = o.is_object() ? o.find(key) : o.end();
  return o.is_object() && it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool plain_name(const std::string& name) {
  static const std::regex re("[A-Za-z0-9_][A-Za-z0-9_.-]{0,254}");
  return std::regex_match(name, re);
}

std::string compression_of(const std::string& file) {
  auto ends = [&](const char* s) {
    const std::string suffix(s);
    return file.size() > suffix.size() && file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  return ends(".zst") ? "zstd" : ends(".lzo") ? "lzop" : "none";
}

std::string instance_name_of(const std::string& uuid) {
  Instance_Manager* manager = Instance_Manager::instance();
  if (manager == nullptr) return std::string();
  for (const Instance_ptr& inst : manager->list("oscar"))
    if (inst->uuid == uuid) return inst->name;
  return std::string();
}

json body_of(const Set_Manifest& m) {
  return {{"view", m.view},
          {"row", m.row},
          {"instance", {{"name", m.instance_name}, {"uuid", m.instance_uuid}}},
          {"host", {{"id", m.host_id}, {"name", m.host_name}}},
          {"agent_version", m.agent_version},
          {"compression", m.compression},
          {"written", static_cast<long long>(m.written)}};
}

// What a row needs to be adopted as a record of its set.
bool check_row(const json& row, std::string& err) {
  for (const char* key : {"uuid", "resource_uuid", "definition_uuid", "pool_uuid", "uri", "record_type"}) {
    if (text_of(row, key).empty()) {
      err = std::string("its row has no \"") + key + "\"";
      return false;
    }
  }
  if (!valid_set_folder(text_of(row, "uri"))) {
    err = "its row's folder \"" + text_of(row, "uri") + "\" is not a plain folder of a pool";
    return false;
  }
  const std::vector<std::string> files = set_files(row);
  if (files.empty()) {
    err = "its row names no stored file";
    return false;
  }
  for (const std::string& f : files) {
    if (!plain_name(f) || is_manifest_name(f)) {
      err = "its row names a stored file \"" + f + "\" that is not a plain file name";
      return false;
    }
  }
  const auto storages = row.find("storages");
  if (storages == row.end() || !storages->is_array() || storages->empty() || !(*storages)[0].is_object() ||
      !(*storages)[0].contains("size") || !(*storages)[0]["size"].is_number_unsigned()) {
    err = "its row has no storage entry with a size";
    return false;
  }
  return true;
}

}  // namespace

std::string manifest_name(const std::string& set_uuid) { return set_uuid + SUFFIX; }

bool is_manifest_name(const std::string& name) {
  const std::size_t n = std::char_traits<char>::length(SUFFIX);
  const std::size_t slash = name.rfind('/');
  const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
  return last.size() > n && last.compare(last.size() - n, n, SUFFIX) == 0 && last[0] != '.';
}

bool valid_set_folder(const std::string& uri) {
  if (uri.empty()) return false;
  std::size_t at = 0;
  for (;;) {
    const std::size_t slash = uri.find('/', at);
    const std::string part = uri.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    if (!plain_name(part)) return false;
    if (slash == std::string::npos) return true;
    at = slash + 1;
  }
}

std::vector<std::string> set_files(const json& row) {
  std::vector<std::string> names;
  const auto pieces = row.is_object() ? row.find("pieces") : row.end();
  if (row.is_object() && pieces != row.end() && pieces->is_array()) {
    for (const json& p : *pieces) {
      const std::string name = text_of(p, "name");
      if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
  }
  const std::string file = text_of(row, "backup_file");
  if (!file.empty() && std::find(names.begin(), names.end(), file) == names.end()) names.push_back(file);
  return names;
}

Set_Manifest describe_set(const std::string& view, const json& row) {
  Set_Manifest m;
  m.view = view;
  m.row = row;
  m.row.erase("state");
  m.instance_uuid = text_of(row, "resource_uuid");
  m.instance_name = text_of(row, "dbinstance");
  if (m.instance_name.empty()) m.instance_name = instance_name_of(m.instance_uuid);
  m.host_id = text_of(row, "host_uuid");
  m.host_name = Host_Manager::instance()->name();
  m.agent_version = OSCAR_VERSION;
  const std::vector<std::string> files = set_files(row);
  m.compression = files.empty() ? "none" : compression_of(files.front());
  m.written = std::time(nullptr);
  return m;
}

std::string manifest_text(const Set_Manifest& m) {
  const json body = body_of(m);
  const std::string dumped = body.dump();
  return json{{"format", MANIFEST_FORMAT}, {"manifest", body}, {"digest", xxh3_128_hex(dumped.data(), dumped.size())}}
             .dump() +
         "\n";
}

bool parse_manifest(const std::string& text, Set_Manifest& out, std::string& err) {
  if (text.size() > MANIFEST_MAX) {
    err = "not a manifest: larger than " + std::to_string(MANIFEST_MAX) + " bytes";
    return false;
  }
  const json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    err = "not a manifest: not a JSON object";
    return false;
  }
  const auto format = doc.find("format");
  if (format == doc.end() || !format->is_number_integer()) {
    err = "not a manifest: no format version";
    return false;
  }
  if (format->get<long long>() != MANIFEST_FORMAT) {
    err = "unknown format version " + format->dump();
    return false;
  }
  const auto body = doc.find("manifest");
  if (body == doc.end() || !body->is_object()) {
    err = "not a manifest: no \"manifest\" object";
    return false;
  }
  const std::string dumped = body->dump();
  if (text_of(doc, "digest") != xxh3_128_hex(dumped.data(), dumped.size())) {
    err = "digest mismatch";
    return false;
  }
  Set_Manifest m;
  m.view = text_of(*body, "view");
  if (m.view != "oscar" && m.view != "oscar_brcmd") {
    err = "unknown view \"" + m.view + "\"";
    return false;
  }
  const auto row = body->find("row");
  if (row == body->end() || !row->is_object()) {
    err = "no row";
    return false;
  }
  m.row = *row;
  if (!check_row(m.row, err)) return false;
  const json none = json::object();
  const auto inst = body->find("instance");
  const auto host = body->find("host");
  m.instance_name = text_of(inst != body->end() ? *inst : none, "name");
  m.instance_uuid = text_of(inst != body->end() ? *inst : none, "uuid");
  m.host_id = text_of(host != body->end() ? *host : none, "id");
  m.host_name = text_of(host != body->end() ? *host : none, "name");
  m.agent_version = text_of(*body, "agent_version");
  m.compression = text_of(*body, "compression");
  const auto written = body->find("written");
  if (written != body->end() && written->is_number_integer()) m.written = written->get<std::time_t>();
  out = std::move(m);
  return true;
}

bool set_location(const json& row, std::string& url, Client_IO_Base::Options& options, std::string& err) {
  const std::string pool = text_of(row, "pool_uuid");
  const std::string uri = text_of(row, "uri");
  if (pool.empty() || !valid_set_folder(uri)) {
    err = "its catalogue row names no pool_uuid or no usable uri";
    return false;
  }
  Pool_Info info;
  if (!get_pool_info(pool.c_str(), nullptr, info, false, 0, nullptr)) {
    err = "its pool " + pool + " is not registered";
    return false;
  }
  if (!set_options_by_pool(options, info)) {
    err = "the settings of its pool " + pool + " are not usable";
    return false;
  }
  std::string base = info.url;
  while (!base.empty() && base.back() == '/') base.pop_back();
  url = base + "/" + uri;
  return true;
}

bool write_manifest(const Set_Manifest& m, std::string& err) {
  const std::string uuid = text_of(m.row, "uuid");
  std::string url;
  Client_IO_Base::Options options;
  if (uuid.empty() || !set_location(m.row, url, options, err)) {
    if (uuid.empty()) err = "the row has no uuid";
    return false;
  }
  options.compression_method = COMPR_NONE;
  options.overwrite = true;
  const std::string name = manifest_name(uuid);
  const std::string text = manifest_text(m);
  Client_IO_Ex io;
  if (!io.connect(url, options) || !io.open(name.c_str(), Client_IO_Ex::MODE_WRITE) ||
      io.write(text.data(), text.size()) != static_cast<ssize_t>(text.size()) || !io.close()) {
    err = "cannot write the manifest " + name + " into " + url + ": " + io.error();
    return false;
  }
  return true;
}

bool remove_manifest(const json& row, std::string& err) {
  const std::string uuid = text_of(row, "uuid");
  std::string url;
  Client_IO_Base::Options options;
  if (uuid.empty() || !set_location(row, url, options, err)) {
    if (uuid.empty()) err = "the row has no uuid";
    return false;
  }
  Client_IO_Ex io;
  const std::string name = manifest_name(uuid);
  if (!io.connect(url, options) || !io.remove(name.c_str())) {
    err = "cannot remove the manifest " + name + " from " + url + ": " + io.error();
    return false;
  }
  return true;
}
