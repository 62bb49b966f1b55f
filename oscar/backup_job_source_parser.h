#ifndef OSCAR_BACKUP_JOB_SOURCE_PARSER_H
#define OSCAR_BACKUP_JOB_SOURCE_PARSER_H

#include "host/jobs/job_source.h"
#include "oscar/job_document_parser.h"

namespace oscar {

class Backup_Job_Source;

// Builds a Backup_Job_Source from the events of a backup job source
// document: {"id": text (required), "name": text, "entries": [texts]
// (required, may be empty)}. Stops the parse with code 3 for a key or end
// with no open container, 9 for a text where none is allowed (deeper than
// an entry, or a text for "entries"), and 7 when the top-level object closes
// without a required key (each missing key logged once at LM_ERROR). What was
// stored before a stop stays in the result. One parser per document; not
// thread-safe.
class Backup_Job_Source_Parser : public Job_Document_Parser<Job_Source, Backup_Job_Source> {
 public:
  // Allocates the source to fill; when that fails errno is ENOMEM and the
  // parser still runs but stores nothing (result() is then empty).
  Backup_Job_Source_Parser();

  bool handle_string_i(const unsigned char* text, std::size_t len) override;
  bool handle_map_key_i(const unsigned char* key, std::size_t len) override;
  bool handle_end_map_i() override;
  bool handle_start_array_i() override;
  bool handle_end_array_i() override;

  static const Key2_Value_T<unsigned int> key_table_1[];

 private:
  bool handle_level_1_string(const unsigned char* text, std::size_t len);
  bool handle_level_2_string(const unsigned char* text, std::size_t len);
};

}  // namespace oscar

#endif
