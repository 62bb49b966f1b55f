#ifndef HOST_YAJL_PARSER_H
#define HOST_YAJL_PARSER_H

#include <ace/Refcounted_Auto_Ptr.h>
#include <ace/Thread_Mutex.h>

#include <cstddef>
#include <vector>

#include "host/base/yajl_handler.h"

// One open JSON container while a document is parsed.
struct JSON_State {
  bool obj = true;               // true for an object, false for an array
  unsigned int key = 0;          // id of the current key, 0 for none
  unsigned long long masks = 0;  // bit set of the key ids whose values were seen
};

// Error codes a job-document parser leaves in err_ when it stops a parse.
enum JSON_Parse_Error {
  JSON_ERROR_NO_CONTAINER = 3,  // a key or an end arrived with no open container
  JSON_ERROR_MISSING_KEY = 7,   // an object closed without a required key
  JSON_ERROR_UNEXPECTED = 9,    // a value at a depth or under a key where it is not allowed
};

// Base of the job-document parsers: a handler that builds one object of
// type T (Job_Source or Job_Options). The host obtains a parser from a
// parser factory as YAJL_Handler*, knows from the factory which T it
// builds, and reaches result() through static_cast<YAJL_Parser<T>*>.
template <typename T>
class YAJL_Parser : public YAJL_Handler {
 public:
  typedef ACE_Refcounted_Auto_Ptr<T, ACE_Thread_Mutex> result_type;

  // A new counted reference to the object built so far (empty when the
  // parser could not allocate it).
  virtual result_type result() = 0;

  // Error code of the last stop, 0 while all is well.
  int error_code() const { return err_; }

 protected:
  // The deepest nesting a job document may have. Deeper containers stop the
  // parse with JSON_ERROR_UNEXPECTED, so that states_ stays bounded whatever
  // text arrives (YAJL itself has no depth limit).
  static const std::size_t MAX_DEPTH = 32;

  // Opens a container: pushes a fresh state (key 0, no masks). Answers false
  // with err_ set when the document is nested deeper than MAX_DEPTH.
  bool push_state(bool obj) {
    if (states_.size() >= MAX_DEPTH) {
      err_ = JSON_ERROR_UNEXPECTED;
      return false;
    }
    JSON_State st;
    st.obj = obj;
    states_.push_back(st);
    return true;
  }

  int err_ = 0;
  result_type result_;
  std::vector<JSON_State> states_;
};

#endif
