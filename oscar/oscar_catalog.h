#ifndef OSCAR_OSCAR_CATALOG_H
#define OSCAR_OSCAR_CATALOG_H

#include <cstdint>
#include <string>
#include <vector>

#include "oscar/oscar_export.h"

// The fixed catalogue queries of a database, each one isql run. Texts are
// NUL-terminated UTF-8; a null or empty required text is logged and gives
// false. Result vectors are appended to, never cleared; on failure they keep
// what was appended. Failures are logged once with isql's output. Each call
// is independent and may run on any thread.

// One node of a high-availability cluster.
struct Oscar_Node_Info {
  int node_id = 0;       // greater than 0
  std::string host;      // the node's address
  std::string status;    // the node's role; the master is "master"
  std::string instance;  // the instance the query was made for
};

// The server's version: the build text, or the whole version line with
// full_version. On failure version holds what was read so far.
OSCAR_EXPORT bool get_version(const char* oscar_home, uint16_t port, const char* instance, std::string& version,
                              bool full_version);

// The isql tool's version, as get_version.
bool get_isql_version(const char* oscar_home, std::string& version, bool full_version);

// Whether the database archives its logs ("ARCHIVELOG"); archivelog is
// unchanged on failure.
OSCAR_EXPORT bool get_log_mode(const char* oscar_home, const char* instance, const char* username, const char* password,
                               uint16_t port, bool& archivelog);

// The user schemas (system schemas left out, see is_sys_schema).
bool get_oscar_schemas(const char* oscar_home, const char* instance, const char* username, const char* password,
                       uint16_t port, std::vector<std::string>& schemas);

// The tables of one schema (matched in upper case). A schema name holding a
// double quote or a line break is refused (it could not be quoted on the
// command line); single quotes are doubled in the SQL text.
bool get_oscar_tables(const char* oscar_home, const char* instance, const char* username, const char* password,
                      uint16_t port, const char* schema, std::vector<std::string>& tables);

// The user tablespaces.
bool get_user_tablespaces(const char* oscar_home, const char* instance, const char* username, const char* password,
                          uint16_t port, std::vector<std::string>& tablespaces);

// The cluster's nodes, queried through virtual_address. Malformed rows (not
// three columns, a node id that is not a positive decimal int) are logged and
// skipped without failing the call.
bool get_cluster_nodes_info(const char* oscar_home, const char* instance, const char* username, const char* password,
                            uint16_t port, const char* virtual_address, std::vector<Oscar_Node_Info>& nodes);

// Whether name is one of the database's own schemas (exact, case-sensitive).
bool is_sys_schema(const std::string& name);

#endif
