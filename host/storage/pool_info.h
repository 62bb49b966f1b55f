#ifndef HOST_POOL_INFO_H
#define HOST_POOL_INFO_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/storage/client_io_base.h"

// A backup storage pool as the agent's pool registry describes it. The
// registry is the JSON file "pools.json" in the agent's state directory:
//   {"pools": [{"uuid": ..., "name": ..., "host_uuid": ..., "url": ...,
//               "devices": [...], "multidevice": false, "cipher": "",
//               "key": "", "iv": "", "preferred_source_address": "",
//               "ext_attrs": {NAME: TEXT}, "node_addrs": [...],
//               "dedup_backend_type": "", "s3_endpoint": "",
//               "s3_region": "", "s3_access_key_id": "",
//               "s3_secret_access_key": ""}]}
// Only "uuid" and "url" are required; the file is written with mode 0600
// because a pool's keys are secrets.
// The cipher key and the S3 secret are wiped when a record goes.
struct Pool_Info {
  Pool_Info() = default;
  ~Pool_Info();
  Pool_Info(const Pool_Info&) = default;
  Pool_Info(Pool_Info&&) = default;
  Pool_Info& operator=(const Pool_Info&) = default;
  Pool_Info& operator=(Pool_Info&&) = default;

  std::string uuid;
  std::string name;
  std::string host_uuid;
  std::string url;  // storage URL, e.g. "file:///var/backups/pool1"
  // Set by get_pool_info: whether the asked device belongs to the pool (a
  // pool that lists no devices accepts every device).
  bool device_exists = false;
  bool multidevice = false;
  std::string cipher;
  std::string key;
  std::string iv;
  std::string preferred_source_address;
  nlohmann::json ext_attrs = nlohmann::json::object();  // extra client options, name to text
  std::vector<std::string> node_addrs;
  std::string dedup_backend_type;
  // An "s3://BUCKET/PREFIX" pool: its service's endpoint URL, region (empty
  // means us-east-1) and access key pair.
  std::string s3_endpoint;
  std::string s3_region;
  std::string s3_access_key_id;
  std::string s3_secret_access_key;
};

// Looks the pool up in the registry. device_uuid (may be null or empty)
// only sets device_exists. With check_access, a pool whose storage
// directory does not exist is refused (a restore has nothing to read
// there); without it the directory is made on the first write. The last
// two arguments are accepted for the agent's calling convention and not
// used. False (logged once) when the state directory is not set, the
// registry is unreadable or malformed, or the pool is unknown; info is then
// left as it was. Thread-safe.
bool get_pool_info(const char* pool_uuid, const char* device_uuid, Pool_Info& info, bool check_access, int reserved,
                   const char* note);

// Copies the pool's settings into storage options: the encryption fields,
// the S3 endpoint, region and keys,
// the preferred source address (extra option "preferred_source_address")
// and every "ext_attrs" member as an extra option. False (logged) when the
// pool has no URL or an "ext_attrs" member is not a text, number or
// boolean; the options may then hold part of the settings.
bool set_options_by_pool(Client_IO_Base::Options& options, const Pool_Info& info);

// Adds a pool to the registry or replaces the one with the same uuid. For
// the agent program. False (logged) when the pool has no uuid or url or
// the registry cannot be written. Thread-safe, and safe between agents on
// one state directory (a Job_Lock on the registry, waited for at most 30
// seconds); the file is replaced atomically.
bool add_pool(const Pool_Info& info);

// Every registered pool, in registry order (the fields of Pool_Info, with
// device_exists true). False (logged, out empty) when the registry cannot
// be read or is malformed; a missing registry is an empty list.
// Thread-safe.
bool list_pools(std::vector<Pool_Info>& out);

// Removes the pool with `uuid` from the registry; the pool's storage is
// left as it is. Answers 1 when it was removed, 0 when there was no such
// pool, -1 (logged) when the registry cannot be read or written. Safe
// between agents as add_pool is; the file is replaced atomically.
int remove_pool(const std::string& uuid);

// Path of the registry file ("" when the state directory is not set).
std::string pool_registry_path();

#endif
