#include "oscar/backup_job_options.h"

#include "host/base/yajl_gen.h"

namespace oscar {

Backup_Job_Options::~Backup_Job_Options() {}

int Backup_Job_Options::generate(yajl_gen_t* gen) {
  YAJL_Gen g(gen);
  YAJL_Map_Guard map(g);
  bool ok = map.ok();
  if (ok && compression_ != COMPR_NONE) ok = g.string("compression", compression_value_to_name(compression_));
  ok = ok && g.integer("compression_level", compression_level_);
  ok = map.close() && ok;
  return ok ? 0 : -1;
}

}  // namespace oscar
