#ifndef AGENT_POOL_SCAN_H
#define AGENT_POOL_SCAN_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/catalog/set_manifest.h"
#include "host/storage/pool_info.h"
#include "host/storage/stored_entry.h"

// A look at everything a pool holds and at the manifests among it: what
// `catalog rebuild`, `pool clean`, `verify --pool` and `pool add` read. Main
// thread; the state directory must be open.

// One manifest found in a pool.
struct Found_Manifest {
  std::string name;            // relative to the pool: "FOLDER/UUID.manifest"
  bool readable = false;       // read whole, of this format, and consistent with its place
  bool undecryptable = false;  // the pool's cipher key does not open it
  std::string error;           // why it is not readable
  Set_Manifest manifest;       // when readable
};

struct Pool_Scan {
  std::vector<Stored_Entry> entries;  // every file of the pool, sorted by name
  std::vector<Found_Manifest> manifests;
  // Whether manifests were found and none of them could be decrypted: the
  // pool's cipher key (or the lack of one) is not the one they were
  // written with.
  bool wrong_key() const;
  // The published file of that name (relative to the pool), or null.
  const Stored_Entry* find(const std::string& name) const;
};

// Lists the pool and reads every manifest in it. False with err when the
// pool cannot be listed; a manifest that cannot be read is kept in the
// answer with its error.
bool scan_pool(const Pool_Info& pool, Pool_Scan& out, std::string& err);

// The pool-relative names of the stored files of a readable manifest's set.
std::vector<std::string> manifest_files(const Found_Manifest& found);

// Whether the set a readable manifest describes is whole in the listing:
// each of its files published, their stored sizes adding up to the
// recorded size. False with why ("missing FILE", "FILE is N bytes, the
// manifest records M").
bool set_present(const Pool_Scan& scan, const Found_Manifest& found, std::string& why);

// Reads the set a readable manifest describes and checks it against the
// manifest's size and digest, as Client_IO_Ex::verify does. A set of
// several files, or one recorded without a digest, has nothing one digest
// can prove: true. False with why (the storage client's error).
bool verify_set_digest(const Pool_Info& pool, const Found_Manifest& found, std::string& why);

// Whether a manifest is of this host (by id), or of the host `from_host`
// names (an id or a host name; empty names none).
bool of_host(const Set_Manifest& m, const std::string& host_id, const std::string& from_host);

// The part of a pool that belongs to some hosts: folders whose first
// element is one of `roots` (a host's id heads its export folders, an
// instance's uuid is its physical folder) and the folders of the readable
// manifests of these hosts.
struct Host_Part {
  std::set<std::string> roots;
  std::set<std::string> folders;
  // Whether a pool-relative file name lies in this part; a file at the
  // pool's top lies in no one's.
  bool holds(const std::string& name) const;
};

// The part of this host (`host_id` and the instances registered here),
// widened to the host `from_host` names (an id, or a name that a manifest
// gives; empty names none).
Host_Part host_part(const Pool_Scan& scan, const std::string& host_id, const std::string& from_host);

// The folder of a pool-relative file name ("" at the pool's top).
std::string folder_of(const std::string& name);

// The id a set is known by in listings: "backup_id" of a physical set,
// "uuid" of an export.
std::string manifest_set_id(const Set_Manifest& m);

#endif
