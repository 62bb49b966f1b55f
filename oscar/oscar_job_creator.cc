#include "oscar/oscar_job_creator.h"

#include "oscar/backup_executor.h"
#include "oscar/brcmd_backup_executor.h"
#include "oscar/brcmd_restore_executor.h"
#include "oscar/restore_executor.h"

namespace oscar {

namespace {

Job_var create_backup_job(const Job_Definition_var& def) {
  switch (def->subtype()) {
    case JOB_DEFINITION_SUBTYPE_EXPORT: return make_default_job<Backup_Executor>(def);
    default: return make_default_job<Oscar_Brcmd_Backup_Executor>(def);
  }
}

Job_var create_restore_job(const Job_Definition_var& def) {
  switch (def->subtype()) {
    case JOB_DEFINITION_SUBTYPE_IMPORT: return make_default_job<Restore_Executor>(def);
    default: return make_default_job<Oscar_Brcmd_Restore_Executor>(def);
  }
}

}  // namespace

Job_var Oscar_Job_Creator::create(Job_Definition_var def) {
  if (def.null()) return Job_var();
  switch (def->type()) {
    case JOB_DEFINITION_BACKUP: return create_backup_job(def);
    case JOB_DEFINITION_RESTORE: return create_restore_job(def);
    default: return Job_var();
  }
}

}  // namespace oscar

namespace {

void _gobble_Oscar_Job_Creator(void* p) { delete static_cast<Job_Creator*>(p); }

}  // namespace

extern "C" Job_Creator* _make_Oscar_Job_Creator(Job_Creator_Exterminator* gobbler) {
  if (gobbler != nullptr) *gobbler = _gobble_Oscar_Job_Creator;
  return new oscar::Oscar_Job_Creator();
}
