#include "host/jobs/job_def_names.h"

namespace {

struct Subtype_Name {
  Job_Definition_Subtype value;
  const char* name;
};

const Subtype_Name SUBTYPE_NAMES[] = {
    {JOB_DEFINITION_SUBTYPE_NONE, "none"},
    {JOB_DEFINITION_SUBTYPE_FULL, "full"},
    {JOB_DEFINITION_SUBTYPE_INCREMENTAL, "incremental"},
    {JOB_DEFINITION_SUBTYPE_CUMULATIVE, "cumulative"},
    {JOB_DEFINITION_SUBTYPE_EXPORT, "export"},
    {JOB_DEFINITION_SUBTYPE_IMPORT, "import"},
};

struct Type_Name {
  Job_Definition_Type value;
  const char* name;
};

const Type_Name TYPE_NAMES[] = {
    {JOB_DEFINITION_NONE, "none"},
    {JOB_DEFINITION_BACKUP, "backup"},
    {JOB_DEFINITION_RESTORE, "restore"},
    {JOB_DEFINITION_STANDBY, "standby"},
};

}  // namespace

std::string job_def_subtype_to_string(int subtype, const char* unknown) {
  for (const Subtype_Name& row : SUBTYPE_NAMES)
    if (row.value == subtype) return row.name;
  return unknown != nullptr ? unknown : "";
}

bool job_def_subtype_from_string(const std::string& name, Job_Definition_Subtype& out) {
  for (const Subtype_Name& row : SUBTYPE_NAMES) {
    if (name == row.name) {
      out = row.value;
      return true;
    }
  }
  return false;
}

std::string job_def_type_to_string(int type, const char* unknown) {
  for (const Type_Name& row : TYPE_NAMES)
    if (row.value == type) return row.name;
  return unknown != nullptr ? unknown : "";
}

bool job_def_type_from_string(const std::string& name, Job_Definition_Type& out) {
  for (const Type_Name& row : TYPE_NAMES) {
    if (name == row.name) {
      out = row.value;
      return true;
    }
  }
  return false;
}
