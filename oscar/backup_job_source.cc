#include "oscar/backup_job_source.h"

#include "host/base/yajl_gen.h"

namespace oscar {

Backup_Job_Source::~Backup_Job_Source() {}

int Backup_Job_Source::generate(yajl_gen_t* gen) const {
  YAJL_Gen g(gen);
  YAJL_Map_Guard map(g);
  bool ok = map.ok() && g.string("id", id());
  if (ok && !name().empty()) ok = g.string("name", name());
  if (ok && !entries_.empty() && (ok = g.string("entries"))) {
    YAJL_Array_Guard array(g);
    ok = array.ok();
    for (entry_list_type::const_iterator it = entries_.begin(); ok && it != entries_.end(); ++it) {
      ok = g.string(*it);
    }
    ok = array.close() && ok;
  }
  ok = map.close() && ok;
  return ok ? 0 : -1;
}

}  // namespace oscar
