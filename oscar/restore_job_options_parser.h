#ifndef OSCAR_RESTORE_JOB_OPTIONS_PARSER_H
#define OSCAR_RESTORE_JOB_OPTIONS_PARSER_H

#include "host/jobs/job_source.h"
#include "oscar/job_document_parser.h"

namespace oscar {

class Restore_Job_Options;

// Builds a Restore_Job_Options from a restore job options document: an
// object whose member "verify" is a boolean; other members (texts, objects,
// arrays) are accepted and ignored. A "verify" of another type stops the
// parse with code 9, as do a boolean elsewhere and a bare text; numbers and
// null stop it as the base handlers do; a key or end with no open container
// stops it with code 3. One parser per document; not thread-safe.
class Restore_Job_Options_Parser : public Job_Document_Parser<Job_Options, Restore_Job_Options> {
 public:
  // Allocates the options; when that fails errno is ENOMEM and result() is
  // empty.
  Restore_Job_Options_Parser();

  bool handle_boolean_i(int value) override;
  bool handle_string_i(const unsigned char* text, std::size_t len) override;
  bool handle_start_map_i() override;
  bool handle_map_key_i(const unsigned char* key, std::size_t len) override;
  bool handle_end_map_i() override;
  bool handle_start_array_i() override;

  static const Key2_Value_T<unsigned int> key_table_1[];

 private:
  // Whether the value arriving now is the top-level "verify" member's.
  bool at_verify() const;
};

}  // namespace oscar

#endif
