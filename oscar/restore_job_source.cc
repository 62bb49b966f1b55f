#include "oscar/restore_job_source.h"

#include "host/base/yajl_gen.h"

namespace oscar {

namespace {

// Writes key: value when value is not empty.
bool string_if_set(YAJL_Gen& g, const char* key, const std::string& value) {
  return value.empty() || g.string(key, value);
}

}  // namespace

Restore_Job_Source::~Restore_Job_Source() {}

int Restore_Job_Source::generate(yajl_gen_t* gen) const {
  YAJL_Gen g(gen);
  YAJL_Map_Guard map(g);
  bool ok = map.ok() && g.string("id", id()) && g.uinteger("seq", seq_) && string_if_set(g, "name", name()) &&
            string_if_set(g, "backup_host_id", backup_host_id_) &&
            string_if_set(g, "backup_definition_id", backup_definition_id_) &&
            string_if_set(g, "pool_uuid", pool_uuid_) && string_if_set(g, "catalog_id", catalog_id_) &&
            generate_original(g) && generate_restore_as(g);
  ok = map.close() && ok;
  return ok ? 0 : -1;
}

bool Restore_Job_Source::generate_original(YAJL_Gen& g) const {
  if (!g.string("original")) return false;
  YAJL_Map_Guard map(g);
  bool ok = map.ok() && string_if_set(g, "database", original_.database) &&
            string_if_set(g, "schema", original_.schema) && string_if_set(g, "table", original_.table) &&
            string_if_set(g, "backup_file", original_.backup_file);
  return map.close() && ok;
}

bool Restore_Job_Source::generate_restore_as(YAJL_Gen& g) const {
  if (!g.string("restore_as")) return false;
  YAJL_Map_Guard map(g);
  bool ok = map.ok() && string_if_set(g, "database", restore_as_.database) &&
            string_if_set(g, "schema", restore_as_.schema) && string_if_set(g, "table", restore_as_.table);
  return map.close() && ok;
}

}  // namespace oscar
