#ifndef HOST_CATALOG_SET_MANIFEST_H
#define HOST_CATALOG_SET_MANIFEST_H

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "host/storage/client_io_base.h"

// The description of a backup set kept in its pool, beside its stored
// files, so that the pool itself is the record of what it holds and a lost
// catalogue can be rebuilt from it. One manifest per catalogue row: the
// file "UUID.manifest" in the row's folder ("uri") of its pool, written
// through the storage client like a set (so sealed with the pool's cipher
// when the pool has one). Its text is JSON:
//   {"format": 1, "manifest": {"view", "row", "instance": {"name", "uuid"},
//    "host": {"id", "name"}, "agent_version", "compression", "written"},
//    "digest": XXH3-128 of the dump of "manifest"}
// where "row" is the catalogue row as committed, without its "state".

// The format this code writes; a manifest of another format is not read.
extern const int MANIFEST_FORMAT;

// What a manifest says.
struct Set_Manifest {
  std::string view;           // "oscar_brcmd" or "oscar"
  nlohmann::json row;         // the catalogue row, without "state"
  std::string instance_name;  // the instance's name when it was written ("" if unknown)
  std::string instance_uuid;  // its registration's uuid (the row's resource_uuid)
  std::string host_id;        // the agent's host id (the row's host_uuid)
  std::string host_name;      // the machine's name
  std::string agent_version;  // of the agent that wrote it
  std::string compression;    // "zstd", "lzop" or "none", by the stored file's name
  std::time_t written = 0;    // when it was written
};

// "UUID.manifest".
std::string manifest_name(const std::string& set_uuid);
// Whether a stored file's name (its last "/" element) is that of a manifest.
bool is_manifest_name(const std::string& name);

// Describes a row about to be committed: the instance's name from the
// registry, the host's name and this agent's version.
Set_Manifest describe_set(const std::string& view, const nlohmann::json& row);

// The manifest's text, its digest included.
std::string manifest_text(const Set_Manifest& manifest);

// Reads a manifest's text. False with err ("unknown format version N",
// "digest mismatch", "not a manifest: ...", or which member is wrong) when
// it is not whole and of this format, or its row lacks what a record
// needs (uuid, resource_uuid, pool_uuid, uri, a stored file, a storage
// entry with a size). Its folder and file names are checked too: plain
// names only, so that a manifest cannot point outside its pool.
bool parse_manifest(const std::string& text, Set_Manifest& out, std::string& err);

// Whether uri is a folder path a pool may hold: "/"-joined elements of
// letters, digits, "-", "_" and ".", none empty, "." or "..".
bool valid_set_folder(const std::string& uri);

// The stored files a row names: its "pieces" and its "backup_file".
std::vector<std::string> set_files(const nlohmann::json& row);

// Where a row's files lie: its pool's URL joined with its "uri", and the
// pool's client options (cipher and S3 settings). False with err when the
// row names no pool or folder, or the pool is not registered.
bool set_location(const nlohmann::json& row, std::string& url, Client_IO_Base::Options& options, std::string& err);

// Writes (or replaces) the manifest of a row into its folder and makes it
// durable. False with err; nothing is left then.
bool write_manifest(const Set_Manifest& manifest, std::string& err);

// Removes the manifest of a row; a missing one is success.
bool remove_manifest(const nlohmann::json& row, std::string& err);

#endif
