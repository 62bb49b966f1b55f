#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "agent/catalog_listing.h"
#include "agent/commands.h"
#include "agent/job_documents.h"
#include "agent/pool_cipher.h"
#include "agent/pool_lookup.h"
#include "agent/pool_scan.h"
#include "agent/set_removal.h"
#include "agent/state_dir.h"
#include "host/base/fs_util.h"
#include "host/services/instance_manager.h"
#include "host/storage/pool_info.h"
#include "host/storage/s3_client.h"
#include "host/storage/s3_driver.h"

namespace {

// Longest key file accepted.
const std::size_t KEY_FILE_MAX = 4096;
// How long the check of a new S3 pool waits for its service.
const long CHECK_TIMEOUT_SECONDS = 10;
// How many set ids a refusal names.
const std::size_t SETS_NAMED = 3;

bool valid_pool_name(const std::string& name) {
  static const std::regex re("[A-Za-z0-9][A-Za-z0-9_.-]{0,63}");
  return std::regex_match(name, re);
}

// Reads an S3 key file: two lines, the access key id then the secret key,
// neither empty nor holding blanks; a final line end is allowed. The file
// must be the user's own and closed to everyone else. The read buffer is wiped.
bool read_key_file(const std::string& path, std::string& id, std::string& secret, std::string& err) {
  const int fd = open_cloexec(path.c_str(), O_RDONLY);
  if (fd < 0) {
    err = "cannot open the key file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (check_private_file(fd, path, "the key file", err) != 0) {
    ::close(fd);
    return false;
  }
  std::string text(KEY_FILE_MAX + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, &text[got], text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  const bool too_long = got > KEY_FILE_MAX;
  text.resize(got);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  const std::size_t nl = text.find('\n');
  bool ok = !too_long && nl != std::string::npos;
  if (ok) {
    id = text.substr(0, nl);
    secret = text.substr(nl + 1);
    for (const std::string* part : {&id, &secret})
      ok = ok && !part->empty() && part->find_first_of(" \t\r\n") == std::string::npos;
  }
  std::memset(&text[0], 0, text.size());
  if (!ok) {
    std::fill(secret.begin(), secret.end(), '\0');
    secret.clear();
    err = "the key file " + path + " must hold two lines: the access key id, then the secret key";
  }
  return ok;
}

// Asks the service for one key of the pool's prefix, so that a missing
// bucket, refused keys or a silent endpoint are found before the pool is
// registered.
bool check_bucket(const Pool_Info& info, const std::string& key_file, std::string& err) {
  std::string bucket, prefix;
  if (!parse_s3_url(info.url, bucket, prefix, err)) return false;
  S3_Config config;
  config.endpoint = info.s3_endpoint;
  if (!info.s3_region.empty()) config.region = info.s3_region;
  config.access_key_id = info.s3_access_key_id;
  config.secret_access_key = info.s3_secret_access_key;
  config.bucket = bucket;
  config.timeout_seconds = CHECK_TIMEOUT_SECONDS;
  S3_Client client(config);
  S3_Response answer;
  if (client.request("GET", "", {{"max-keys", "1"}, {"prefix", prefix}}, {}, nullptr, 0, answer)) return true;
  if (answer.status == 0)
    err = "the endpoint " + info.s3_endpoint + " does not answer: " + answer.describe();
  else if (answer.status == 404)
    err = "bucket " + bucket + " does not exist at " + info.s3_endpoint + " (" + answer.describe() + ")";
  else if (answer.status == 401 || answer.status == 403)
    err = info.s3_endpoint + " refused the keys of " + key_file + " for bucket " + bucket + " (" + answer.describe() +
          ")";
  else
    err = "bucket " + bucket + " at " + info.s3_endpoint + " cannot be listed: " + answer.describe();
  return false;
}

// How many sets of the catalogue lie in the pool, and the ids of the first
// few of them, for a message.
bool pool_sets(const std::string& pool_uuid, std::size_t& count, std::string& first_ids, std::string& err) {
  nlohmann::json physical, exports;
  if (!backup_rows("", physical, err) || !export_rows("", exports, err)) return false;
  count = 0;
  first_ids.clear();
  for (const nlohmann::json* rows : {&physical, &exports}) {
    for (const nlohmann::json& row : *rows) {
      if (row_text(row, "pool_uuid") != pool_uuid) continue;
      if (++count <= SETS_NAMED) {
        const std::string id = row_text(row, "backup_id");
        first_ids += (first_ids.empty() ? "" : ", ") + (id.empty() ? std::string("?") : id);
      }
    }
  }
  return true;
}

// A pool that holds catalogued sets keeps the URL and the cipher settings
// they were written with: anything else would leave every set unreadable.
// Its other settings (S3 endpoint, region and access keys, zstd workers)
// may change. False with err (one line naming the sets) when `fresh`
// changes what must stay, or the catalogue cannot be read.
bool may_replace(const Pool_Info& old, const Pool_Info& fresh, std::string& err) {
  std::vector<std::string> changed;
  if (old.url != fresh.url) changed.push_back("url");
  if (old.cipher != fresh.cipher) changed.push_back("cipher");
  if (old.key != fresh.key || old.iv != fresh.iv) changed.push_back("cipher key");
  if (changed.empty()) return true;
  std::size_t count = 0;
  std::string ids;
  if (!pool_sets(old.uuid, count, ids, err)) return false;
  if (count == 0) return true;
  std::string what;
  for (const std::string& c : changed) what += (what.empty() ? "" : ", ") + c;
  err = "pool " + old.name + " holds " + std::to_string(count) +
        (count == 1 ? " catalogued set (" : " catalogued sets (") + ids + (count > SETS_NAMED ? ", ..." : "") +
        "); its " + what + " cannot change (add a new pool, or remove these sets first)";
  return false;
}

// The instance a manifest's set is of: its name as the manifest gives it,
// else the name of the instance registered here under its uuid, else its uuid.
std::string instance_named(const Set_Manifest& m) {
  if (!m.instance_name.empty()) return m.instance_name;
  for (const Instance_ptr& inst : Instance_Manager::instance()->list("oscar"))
    if (resource_id(*inst) == m.instance_uuid) return inst->name;
  return m.instance_uuid;
}

// What a newly registered pool already holds, from its manifests: "pool p2
// holds 3 sets of DB1 (host vm), 1 set of DB2 (host other): catalog
// rebuild adopts them"; empty when it holds none. A pool that cannot be
// looked at is named in a line of its own: the registration stands.
std::string found_sets(const Pool_Info& pool, const std::string& host_id) {
  Pool_Scan scan;
  std::string err;
  if (!scan_pool(pool, scan, err)) return "pool " + pool.name + ": cannot look at the sets it holds: " + err;
  if (scan.wrong_key())
    return "pool " + pool.name + " holds " + std::to_string(scan.manifests.size()) +
           " manifests that its cipher key cannot decrypt";
  std::map<std::pair<std::string, std::string>, std::size_t> sets;
  std::size_t unreadable = 0;
  bool others = false;
  for (const Found_Manifest& f : scan.manifests) {
    if (!f.readable) {
      ++unreadable;
      continue;
    }
    const Set_Manifest& m = f.manifest;
    ++sets[{instance_named(m), m.host_name.empty() ? m.host_id : m.host_name}];
    others = others || m.host_id != host_id;
  }
  if (sets.empty() && unreadable == 0) return std::string();
  std::string text;
  for (const auto& s : sets)
    text += (text.empty() ? "" : ", ") + std::to_string(s.second) + (s.second == 1 ? " set of " : " sets of ") +
            s.first.first + " (host " + s.first.second + ")";
  if (unreadable != 0)
    text += (text.empty() ? "" : ", ") + std::to_string(unreadable) +
            (unreadable == 1 ? " manifest it cannot read" : " manifests it cannot read");
  text = "pool " + pool.name + " holds " + text;
  if (!sets.empty())
    text += std::string(": catalog rebuild adopts them") + (others ? " (those of other hosts with --from-host)" : "");
  return text;
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Puts the location options of the line into info: --url, and for an
// s3:// pool --endpoint, --region and --key-file; what the line does not
// give stays as info holds it. The service of an s3:// pool is asked when
// the line gives any of them. False with err and the exit status.
bool apply_location(const Command_Line& line, Pool_Info& info, int& status, std::string& err) {
  status = EXIT_USAGE;
  const std::string endpoint = option_value(line, "endpoint");
  const std::string key_file = option_value(line, "key-file");
  const bool region = line.options.count("region") != 0;
  if (line.options.count("url") != 0) info.url = option_value(line, "url");
  if (starts_with(info.url, "file:///")) {
    if (!endpoint.empty() || !key_file.empty() || region) {
      err = "--endpoint, --key-file and --region are for s3:// pools";
      return false;
    }
    info.s3_endpoint = info.s3_region = info.s3_access_key_id = info.s3_secret_access_key = std::string();
    return true;
  }
  if (!starts_with(info.url, "s3://")) {
    err = "the url must be file:///ABSOLUTE/PATH or s3://BUCKET/PREFIX, not \"" + info.url + "\"";
    return false;
  }
  std::string bucket, prefix;
  if (!parse_s3_url(info.url, bucket, prefix, err)) return false;
  if (!endpoint.empty() && !starts_with(endpoint, "http://") && !starts_with(endpoint, "https://")) {
    err = "the endpoint must be http://HOST[:PORT] or https://HOST[:PORT], not \"" + endpoint + "\"";
    return false;
  }
  if (!endpoint.empty()) info.s3_endpoint = endpoint;
  if (region) info.s3_region = option_value(line, "region");
  if (!key_file.empty() && !read_key_file(key_file, info.s3_access_key_id, info.s3_secret_access_key, err))
    return false;
  if (info.s3_endpoint.empty() || info.s3_access_key_id.empty()) {
    err = "an s3:// pool needs --endpoint URL and --key-file FILE";
    return false;
  }
  const bool asked = line.options.count("url") != 0 || !endpoint.empty() || !key_file.empty() || region;
  status = EXIT_FAILED;
  return !asked || check_bucket(info, key_file.empty() ? "the registered key file" : key_file, err);
}

// Puts the stored-form options of the line into info: --cipher (none
// clears it) with --cipher-key-file, --zstd-workers.
bool apply_codec(const Command_Line& line, Pool_Info& info, std::string& err) {
  if (option_value(line, "cipher") == "none") info.cipher = info.key = info.iv = std::string();
  return set_pool_codec_options(line, info, err);
}

// The settings of the line that differ between two records of a pool, by
// option name, for the line that reports the change.
std::string changed_settings(const Pool_Info& old, const Pool_Info& fresh) {
  std::vector<std::pair<const char*, bool>> diffs = {
      {"url", old.url != fresh.url},
      {"endpoint", old.s3_endpoint != fresh.s3_endpoint},
      {"region", old.s3_region != fresh.s3_region},
      {"keys",
       old.s3_access_key_id != fresh.s3_access_key_id || old.s3_secret_access_key != fresh.s3_secret_access_key},
      {"cipher", old.cipher != fresh.cipher || old.key != fresh.key},
      {"zstd-workers", old.ext_attrs != fresh.ext_attrs}};
  std::string text;
  for (const auto& d : diffs)
    if (d.second) text += (text.empty() ? "" : ", ") + std::string(d.first);
  return text;
}

}  // namespace

int pool_add_command(const Command_Line& line) {
  std::string err;
  const std::string name = line.words[2];
  if (!valid_pool_name(name)) return fail(EXIT_USAGE, "pool add: invalid pool name \"" + name + "\"");
  Pool_Info info;
  info.name = name;
  int status = EXIT_USAGE;
  if (!apply_location(line, info, status, err)) return fail(status, "pool add: " + err);
  if (!apply_codec(line, info, err)) return fail(EXIT_USAGE, "pool add: " + err);
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  std::map<std::string, std::string> known;
  if (!pool_names(known, err)) return fail(EXIT_FAILED, "pool add: " + err);
  for (const auto& p : known)
    if (p.second == name)
      return fail(EXIT_FAILED, "pool add: pool " + name + " exists; pool set " + name + " changes its settings");
  info.uuid = new_uuid();
  if (!add_pool(info)) return fail(EXIT_FAILED, "pool add: cannot write the pool registry");
  std::printf("pool %s added (uuid %s, url %s%s)\n", name.c_str(), info.uuid.c_str(), info.url.c_str(),
              info.s3_endpoint.empty() ? "" : (", endpoint " + info.s3_endpoint).c_str());
  const std::string host_id = agent_host_id(err);
  const std::string found = found_sets(info, host_id);
  if (!found.empty()) std::printf("%s\n", found.c_str());
  return EXIT_OK;
}

int pool_set_command(const Command_Line& line) {
  std::string err;
  const std::string name = line.words[2];
  const char* const SETTINGS[] = {"url", "endpoint", "region", "key-file", "cipher", "cipher-key-file", "zstd-workers"};
  if (std::none_of(std::begin(SETTINGS), std::end(SETTINGS), [&](const char* o) { return line.options.count(o); }))
    return fail(EXIT_USAGE,
                "pool set: name a setting to change (--url, --endpoint, --region, --key-file, --cipher, "
                "--cipher-key-file, --zstd-workers)");
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  Pool_Info old;
  if (!find_pool(name, old, err)) return fail(EXIT_FAILED, "pool set: " + err);
  Pool_Info info = old;
  int status = EXIT_USAGE;
  if (!apply_location(line, info, status, err)) return fail(status, "pool set: " + err);
  if (!apply_codec(line, info, err)) return fail(EXIT_USAGE, "pool set: " + err);
  if (!may_replace(old, info, err)) return fail(EXIT_FAILED, "pool set: " + err);
  const std::string changed = changed_settings(old, info);
  if (changed.empty()) {
    std::printf("pool %s unchanged\n", name.c_str());
    return EXIT_OK;
  }
  if (!add_pool(info)) return fail(EXIT_FAILED, "pool set: cannot write the pool registry");
  std::printf("pool %s updated (%s)\n", name.c_str(), changed.c_str());
  return EXIT_OK;
}
