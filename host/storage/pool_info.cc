#include "host/storage/pool_info.h"

#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/base/job_mutex.h"
#include "tollix/secure_allocator.h"

Pool_Info::~Pool_Info() {
  wipe(key);
  wipe(s3_secret_access_key);
}

namespace {

std::mutex registry_lock;

std::string text_of(const nlohmann::json& pool, const char* key) {
  const auto it = pool.find(key);
  return it != pool.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Reads the registry into reg; a missing file is an empty registry.
bool load_registry(const std::string& path, nlohmann::json& reg) {
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT) {
      reg = {{"pools", nlohmann::json::array()}};
      return true;
    }
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open pool registry %C: %m\n"), path.c_str()));
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  reg = nlohmann::json::parse(text.str(), nullptr, false);
  if (reg.is_discarded() || !reg.is_object() || !reg.contains("pools") || !reg["pools"].is_array()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Malformed pool registry %C\n"), path.c_str()));
    return false;
  }
  return true;
}

bool fill_pool(const nlohmann::json& p, const char* device_uuid, Pool_Info& info) {
  Pool_Info out;
  out.uuid = text_of(p, "uuid");
  out.name = text_of(p, "name");
  out.host_uuid = text_of(p, "host_uuid");
  out.url = text_of(p, "url");
  out.cipher = text_of(p, "cipher");
  out.key = text_of(p, "key");
  out.iv = text_of(p, "iv");
  out.preferred_source_address = text_of(p, "preferred_source_address");
  out.dedup_backend_type = text_of(p, "dedup_backend_type");
  out.s3_endpoint = text_of(p, "s3_endpoint");
  out.s3_region = text_of(p, "s3_region");
  out.s3_access_key_id = text_of(p, "s3_access_key_id");
  out.s3_secret_access_key = text_of(p, "s3_secret_access_key");
  const auto multi = p.find("multidevice");
  out.multidevice = multi != p.end() && multi->is_boolean() && multi->get<bool>();
  const auto attrs = p.find("ext_attrs");
  if (attrs != p.end() && attrs->is_object()) out.ext_attrs = *attrs;
  const auto nodes = p.find("node_addrs");
  if (nodes != p.end() && nodes->is_array()) {
    for (const auto& n : *nodes)
      if (n.is_string()) out.node_addrs.push_back(n.get<std::string>());
  }
  out.device_exists = true;
  const auto devices = p.find("devices");
  if (device_uuid && *device_uuid && devices != p.end() && devices->is_array() && !devices->empty()) {
    out.device_exists = false;
    for (const auto& d : *devices)
      if (d.is_string() && d.get<std::string>() == device_uuid) out.device_exists = true;
  }
  info = out;
  return true;
}

nlohmann::json pool_to_json(const Pool_Info& info) {
  return {{"uuid", info.uuid},
          {"name", info.name},
          {"host_uuid", info.host_uuid},
          {"url", info.url},
          {"multidevice", info.multidevice},
          {"cipher", info.cipher},
          {"key", info.key},
          {"iv", info.iv},
          {"preferred_source_address", info.preferred_source_address},
          {"ext_attrs", info.ext_attrs.is_object() ? info.ext_attrs : nlohmann::json::object()},
          {"node_addrs", info.node_addrs},
          {"dedup_backend_type", info.dedup_backend_type},
          {"s3_endpoint", info.s3_endpoint},
          {"s3_region", info.s3_region},
          {"s3_access_key_id", info.s3_access_key_id},
          {"s3_secret_access_key", info.s3_secret_access_key}};
}

bool directory_exists(const std::string& url) {
  const std::string scheme = "file://";
  if (url.compare(0, scheme.size(), scheme) != 0) return true;
  struct stat st;
  return ::stat(url.c_str() + scheme.size(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string pool_registry_path() {
  const std::string& dir = agent_state_dir();
  return dir.empty() ? std::string() : dir + "/pools.json";
}

bool get_pool_info(const char* pool_uuid, const char* device_uuid, Pool_Info& info, bool check_access, int,
                   const char*) {
  if (!pool_uuid || !*pool_uuid) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Pool uuid is empty\n")));
    return false;
  }
  const std::string path = pool_registry_path();
  if (path.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Agent state directory is not set, no pool registry\n")));
    return false;
  }
  nlohmann::json reg;
  {
    std::lock_guard<std::mutex> guard(registry_lock);
    if (!load_registry(path, reg)) return false;
  }
  for (const auto& p : reg["pools"]) {
    if (!p.is_object() || text_of(p, "uuid") != pool_uuid) continue;
    Pool_Info found;
    fill_pool(p, device_uuid, found);
    if (found.url.empty()) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Pool %C has no url\n"), pool_uuid));
      return false;
    }
    if (check_access && !directory_exists(found.url)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Storage of pool %C is not reachable: %C\n"), pool_uuid, found.url.c_str()));
      return false;
    }
    info = found;
    return true;
  }
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Unknown pool %C\n"), pool_uuid));
  return false;
}

bool set_options_by_pool(Client_IO_Base::Options& options, const Pool_Info& info) {
  if (info.url.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Pool %C has no url\n"), info.uuid.c_str()));
    return false;
  }
  options.cipher = info.cipher;
  options.key = info.key;
  options.iv = info.iv;
  options.s3_endpoint = info.s3_endpoint;
  options.s3_region = info.s3_region;
  options.s3_access_key_id = info.s3_access_key_id;
  options.s3_secret_access_key = info.s3_secret_access_key;
  if (!info.preferred_source_address.empty())
    options.set_extra_option("preferred_source_address", info.preferred_source_address);
  if (!info.ext_attrs.is_object()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Extra attributes of pool %C are not an object\n"), info.uuid.c_str()));
    return false;
  }
  for (auto it = info.ext_attrs.begin(); it != info.ext_attrs.end(); ++it) {
    const nlohmann::json& v = it.value();
    std::string text;
    if (v.is_string()) {
      text = v.get<std::string>();
    } else if (v.is_number() || v.is_boolean()) {
      text = v.dump();
    } else {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Extra attribute %C of pool %C is not a scalar\n"), it.key().c_str(),
                 info.uuid.c_str()));
      return false;
    }
    if (!options.set_extra_option(it.key(), text)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Pool %C has an extra attribute without a name\n"), info.uuid.c_str()));
      return false;
    }
  }
  return true;
}

namespace {

// Writes the registry whole under a temporary name and renames it into
// place. The caller holds the registry's locks.
bool store_registry(const std::string& path, const nlohmann::json& reg) {
  if (mkdir_p(agent_state_dir(), 0700) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to create %C: %m\n"), agent_state_dir().c_str()));
    return false;
  }
  const std::string text = reg.dump(2) + "\n";
  if (write_file_atomic(path, text.data(), text.size()) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write pool registry %C: %m\n"), path.c_str()));
    return false;
  }
  return true;
}

// Reads the registry, lets `change` edit its "pools" array and writes it
// back, under a lock shared with other agents on the same state directory
// so that no agent's change is lost. -1 (logged) on failure, else what
// `change` answers; only a positive answer (something changed) is
// written.
template <typename F>
int update_registry(const char* what, F change) {
  const std::string path = pool_registry_path();
  if (path.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Agent state directory is not set, no pool registry\n")));
    return -1;
  }
  const Job_Lock writers("pool registry " + path, what, ACE_Time_Value(30));
  if (!writers.locked()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Cannot update the pool registry: %C\n"), writers.error().c_str()));
    return -1;
  }
  std::lock_guard<std::mutex> guard(registry_lock);
  nlohmann::json reg;
  if (!load_registry(path, reg)) return -1;
  const int answer = change(reg["pools"]);
  if (answer <= 0) return answer;
  return store_registry(path, reg) ? answer : -1;
}

}  // namespace

bool add_pool(const Pool_Info& info) {
  if (info.uuid.empty() || info.url.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l A pool needs a uuid and a url\n")));
    return false;
  }
  return update_registry("pool registry update", [&](nlohmann::json& pools) {
           nlohmann::json kept = nlohmann::json::array();
           for (const auto& p : pools)
             if (!p.is_object() || text_of(p, "uuid") != info.uuid) kept.push_back(p);
           kept.push_back(pool_to_json(info));
           pools = kept;
           return 1;
         }) == 1;
}

int remove_pool(const std::string& uuid) {
  return update_registry("pool registry removal", [&](nlohmann::json& pools) {
    nlohmann::json kept = nlohmann::json::array();
    for (const auto& p : pools)
      if (!p.is_object() || text_of(p, "uuid") != uuid) kept.push_back(p);
    const int removed = kept.size() == pools.size() ? 0 : 1;
    pools = kept;
    return removed;
  });
}

bool list_pools(std::vector<Pool_Info>& out) {
  out.clear();
  const std::string path = pool_registry_path();
  if (path.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Agent state directory is not set, no pool registry\n")));
    return false;
  }
  nlohmann::json reg;
  {
    std::lock_guard<std::mutex> guard(registry_lock);
    if (!load_registry(path, reg)) return false;
  }
  for (const auto& p : reg["pools"]) {
    if (!p.is_object()) continue;
    Pool_Info info;
    fill_pool(p, nullptr, info);
    out.push_back(info);
  }
  return true;
}
