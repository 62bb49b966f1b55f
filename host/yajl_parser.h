#ifndef HOST_YAJL_PARSER_H
#define HOST_YAJL_PARSER_H

#include <ace/Refcounted_Auto_Ptr.h>
#include <ace/Thread_Mutex.h>

#include <vector>

#include "host/yajl_handler.h"

// One open JSON container while a document is parsed.
struct JSON_State {
  bool obj = true;            // true for an object, false for an array
  unsigned int key = 0;       // id of the current key, 0 for none
  unsigned long long masks = 0;  // bit set of the key ids whose values were seen
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
  int err_ = 0;
  result_type result_;
  std::vector<JSON_State> states_;
};

#endif
