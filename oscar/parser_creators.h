#ifndef OSCAR_PARSER_CREATORS_H
#define OSCAR_PARSER_CREATORS_H

#include <cerrno>
#include <new>

#include "host/base/yajl_handler.h"
#include "host/jobs/object_creator.h"
#include "oscar/backup_job_options_parser.h"
#include "oscar/backup_job_source_parser.h"
#include "oscar/restore_job_options_parser.h"
#include "oscar/restore_job_source_parser.h"

// A parser factory over one parser class. Stateless: create and destroy may
// be called from any thread, concurrently.
template <typename Parser>
class Object_Creator_Impl_T : public Object_Creator_T<YAJL_Handler> {
 public:
  // A new parser, owned by the caller until handed to destroy(); null with
  // errno ENOMEM when it cannot be allocated.
  YAJL_Handler* create() override {
    Parser* parser = new (std::nothrow) Parser;
    if (parser == nullptr) errno = ENOMEM;
    return parser;
  }

  // Destroys a parser made by create(); null does nothing.
  void destroy(YAJL_Handler* handler) override { delete handler; }
};

typedef Object_Creator_Impl_T<oscar::Backup_Job_Options_Parser> Oscar_Backup_Job_Options_Parser_Creator;
typedef Object_Creator_Impl_T<oscar::Backup_Job_Source_Parser> Oscar_Backup_Job_Source_Parser_Creator;
typedef Object_Creator_Impl_T<oscar::Restore_Job_Options_Parser> Oscar_Restore_Job_Options_Parser_Creator;
typedef Object_Creator_Impl_T<oscar::Restore_Job_Source_Parser> Oscar_Restore_Job_Source_Parser_Creator;

// The exported parser factories. Each stores, when gobbler is not null, the
// function that destroys the factory it returns (that function calls the
// factory's fini() once, then deletes it; given null it does nothing), and
// returns a new factory. Allocation failure throws std::bad_alloc.
extern "C" {
__attribute__((visibility("default"))) Object_Creator_T<YAJL_Handler>* _make_Oscar_Backup_Job_Options_Parser_Creator(
    Object_Creator_Exterminator* gobbler);
__attribute__((visibility("default"))) Object_Creator_T<YAJL_Handler>* _make_Oscar_Backup_Job_Source_Parser_Creator(
    Object_Creator_Exterminator* gobbler);
__attribute__((visibility("default"))) Object_Creator_T<YAJL_Handler>* _make_Oscar_Restore_Job_Options_Parser_Creator(
    Object_Creator_Exterminator* gobbler);
__attribute__((visibility("default"))) Object_Creator_T<YAJL_Handler>* _make_Oscar_Restore_Job_Source_Parser_Creator(
    Object_Creator_Exterminator* gobbler);
}

#endif
