#ifndef OSCAR_RESTORE_JOB_SOURCE_PARSER_H
#define OSCAR_RESTORE_JOB_SOURCE_PARSER_H

#include "host/jobs/job_source.h"
#include "oscar/job_document_parser.h"

namespace oscar {

class Restore_Job_Source;

// Builds a Restore_Job_Source from the events of a restore job source
// document: top-level texts "id" (required), "name", "backup_host_id",
// "backup_definition_id", "pool_uuid", "catalog_id", the number "seq", and
// the objects "original" and "restore_as" (each requires "database" when
// given). Stops the parse with code 3 for a key or end with no open
// container, 9 for a value where none is allowed, and 7 when an object
// closes without its required key (logged at LM_ERROR). No member takes an
// array: values inside an array under a member the parser reads stop the
// parse with code 9 (a list is never taken for one of its values), under
// any other member they are skipped. What was stored before a stop stays in
// the result.
// One parser per document; not thread-safe.
class Restore_Job_Source_Parser : public Job_Document_Parser<Job_Source, Restore_Job_Source> {
 public:
  // Allocates the source to fill; when that fails errno is ENOMEM and the
  // parser still runs but stores nothing (result() is then empty).
  Restore_Job_Source_Parser();

  bool handle_number_i(const char* text, std::size_t len) override;
  bool handle_string_i(const unsigned char* text, std::size_t len) override;
  bool handle_map_key_i(const unsigned char* key, std::size_t len) override;
  bool handle_end_map_i() override;
  bool handle_start_array_i() override;
  bool handle_end_array_i() override;

  static const Key2_Value_T<unsigned int> key_table[];
  static const Key2_Value_T<unsigned int> original_key_table[];
  static const Key2_Value_T<unsigned int> restore_as_key_table[];

 private:
  bool handle_level_1_string(const std::string& value);
  bool handle_level_2_string(const std::string& value);
  // The key table of the innermost object; null where keys are ignored.
  const Key2_Value_T<unsigned int>* object_key_table() const;
  // A value met while an array is open: code 9 under a member read here,
  // skipped under any other.
  bool array_value();

  unsigned int open_arrays_ = 0;
};

}  // namespace oscar

#endif
