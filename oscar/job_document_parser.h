#ifndef OSCAR_JOB_DOCUMENT_PARSER_H
#define OSCAR_JOB_DOCUMENT_PARSER_H

#include <ace/Log_Msg.h>

#include <cerrno>
#include <cstddef>
#include <new>

#include "host/base/yajl_parser.h"
#include "tollix/key_value.h"

namespace oscar {

// The handler rules the job-document parsers share. A parser the host knows
// as YAJL_Parser<Result> fills a Doc (a Result) and keeps it in result_.
// Key ids are single bits, so that JSON_State::masks records which keys of an
// object were seen. One parser per document; not thread-safe.
template <typename Result, typename Doc>
class Job_Document_Parser : public YAJL_Parser<Result> {
 public:
  typedef typename YAJL_Parser<Result>::result_type result_type;

  // Allocates the document to fill; when that fails errno is ENOMEM and the
  // parser still runs but stores nothing (result() is then empty).
  Job_Document_Parser() {
    Doc* doc = new (std::nothrow) Doc;
    if (doc == nullptr) {
      errno = ENOMEM;
      return;
    }
    this->result_ = result_type(doc);
  }

  bool handle_start_map_i() override { return this->push_state(true); }
  result_type result() override { return this->result_; }

 protected:
  using YAJL_Parser<Result>::err_;
  using YAJL_Parser<Result>::states_;

  // The document being filled; null when it could not be allocated.
  Doc* doc() const { return static_cast<Doc*>(this->result_.get()); }

  // Stops the parse with code: answers false with err_ set.
  bool stop(int code) {
    err_ = code;
    return false;
  }

  // Makes the keyword key[0, len) the current key of the innermost container
  // when table holds it. A keyword the table lacks clears the current key,
  // so that its value is ignored: left in place, an unknown member's value
  // would replace the member named before it (an "id", a backup point, the
  // instance to restore into). A null table (a container whose keys mean
  // nothing) leaves the current key as it was. Fails with code 3 when no
  // container is open.
  bool take_key(const Key2_Value_T<unsigned int>* table, const unsigned char* key, std::size_t len) {
    if (states_.empty()) return stop(JSON_ERROR_NO_CONTAINER);
    if (table == nullptr) return true;
    const Key2_Value_T<unsigned int>* entry = get_key_value_entry(table, reinterpret_cast<const char*>(key), len);
    states_.back().key = entry->key != nullptr ? entry->value : 0;
    return true;
  }

  // Closes the innermost container. When table (may be null) has rows whose
  // ids are in the bit set required but were not seen in the container,
  // logs missing_format at LM_ERROR with the keyword of each such row, in
  // table order, and fails with code 7, the container still open. Fails with
  // code 3 when no container is open.
  bool close_container(const Key2_Value_T<unsigned int>* table = nullptr, unsigned int required = 0,
                       const ACE_TCHAR* missing_format = nullptr) {
    if (states_.empty()) return stop(JSON_ERROR_NO_CONTAINER);
    bool missing = false;
    for (; table != nullptr && table->key != nullptr; ++table) {
      if ((table->value & required) == 0 || (states_.back().masks & table->value) != 0) continue;
      ACE_ERROR((LM_ERROR, missing_format, table->key));
      missing = true;
    }
    if (missing) return stop(JSON_ERROR_MISSING_KEY);
    states_.pop_back();
    return true;
  }
};

}  // namespace oscar

#endif
