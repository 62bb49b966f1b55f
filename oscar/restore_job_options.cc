#include "oscar/restore_job_options.h"

#include "host/base/yajl_gen.h"

namespace oscar {

Restore_Job_Options::~Restore_Job_Options() {}

int Restore_Job_Options::generate(yajl_gen_t* gen) {
  YAJL_Gen g(gen);
  YAJL_Map_Guard map(g);
  if (!verify_ && !g.boolean("verify", false)) return -1;
  return map.close() ? 0 : -1;
}

}  // namespace oscar
