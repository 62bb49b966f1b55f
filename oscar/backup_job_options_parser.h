#ifndef OSCAR_BACKUP_JOB_OPTIONS_PARSER_H
#define OSCAR_BACKUP_JOB_OPTIONS_PARSER_H

#include "host/jobs/job_source.h"
#include "oscar/job_document_parser.h"

namespace oscar {

class Backup_Job_Options;

// Builds a Backup_Job_Options from the events of a backup job options
// document: {"compression": "<method>", "compression_level": <integer>},
// both optional. A text or number inside a nested container stops the parse
// with code 9; a key or end with no open container with code 3. A value of
// the wrong kind for its key is counted as seen but not stored. One parser
// per document; not thread-safe.
class Backup_Job_Options_Parser : public Job_Document_Parser<Job_Options, Backup_Job_Options> {
 public:
  // Allocates the options to fill; when that fails errno is ENOMEM and the
  // parser still runs but stores nothing (result() is then empty).
  Backup_Job_Options_Parser();

  bool handle_number_i(const char* text, std::size_t len) override;
  bool handle_string_i(const unsigned char* text, std::size_t len) override;
  bool handle_map_key_i(const unsigned char* key, std::size_t len) override;
  bool handle_end_map_i() override;
  bool handle_start_array_i() override;
  bool handle_end_array_i() override;

  static const Key2_Value_T<unsigned int> key_table_1[];
};

}  // namespace oscar

#endif
