#ifndef OSCAR_RESTORE_JOB_OPTIONS_PARSER_H
#define OSCAR_RESTORE_JOB_OPTIONS_PARSER_H

#include "host/jobs/job_source.h"
#include "oscar/job_document_parser.h"

namespace oscar {

class Restore_Job_Options;

// Builds a Restore_Job_Options (which has no settings) from a restore job
// options document: any object of texts is accepted and nothing is stored.
// Arrays are skipped by the base handlers; numbers, booleans and null stop
// the parse as the base handlers do; a bare text stops it with code 9, a key
// or end with no open container with code 3. One parser per document; not
// thread-safe.
class Restore_Job_Options_Parser : public Job_Document_Parser<Job_Options, Restore_Job_Options> {
 public:
  // Allocates the options; when that fails errno is ENOMEM and result() is
  // empty.
  Restore_Job_Options_Parser();

  bool handle_string_i(const unsigned char* text, std::size_t len) override;
  bool handle_map_key_i(const unsigned char* key, std::size_t len) override;
  bool handle_end_map_i() override;

  static const Key2_Value_T<unsigned int> key_table_1[];
};

}  // namespace oscar

#endif
