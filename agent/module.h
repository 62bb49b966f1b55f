#ifndef AGENT_MODULE_H
#define AGENT_MODULE_H

#include <string>

#include "host/base/yajl_handler.h"
#include "host/jobs/job_creator.h"
#include "host/jobs/object_creator.h"
#include "oscar/instance_info.h"
#include "oscar/oscar_catalog.h"
#include "oscar/oscar_cluster_node_manager.h"
#include "oscar/utils.h"

// The database module (liboscar.so) as the agent uses it: loaded with
// dlopen, its five factories looked up by their plain names and made once,
// and its exported instance functions looked up by their C++ names.
//
// Unloading (the destructor) releases the factories through the destroy
// functions the module handed back, unbinds the calling thread's log
// callback, waits (bounded) for every thread the module started to end, and
// only then calls dlclose; when threads are still running after the wait the
// library stays loaded, since unloading code that still runs would crash.
// The caller must have released every job first. One object per process;
// main thread only.
class Oscar_Module {
 public:
  Oscar_Module() = default;
  ~Oscar_Module();
  Oscar_Module(const Oscar_Module&) = delete;
  Oscar_Module& operator=(const Oscar_Module&) = delete;

  // The module's exported instance functions the agent calls, typed as the
  // module's headers declare them (the agent takes only the types from
  // there; it never links the module).
  enum Function_Id {
    TEST_LOGIN_INSTANCE,
    GET_INSTANCE_INFO,
    GET_INSTANCE_PORT,
    GET_INSTANCE_STATE,
    GET_VERSION,
    GET_LOG_MODE,
    GET_DATABASE_INFO,
    GET_SCHEMAS_INFO,
    GET_TABLES_INFO,
    GET_CLUSTER_NODES,
    FUNCTION_COUNT
  };
  struct Function_Symbol {
    const char* name;    // as the module's headers call it
    const char* symbol;  // its name under the Itanium C++ ABI that GCC and Clang share
  };
  // The symbol of each function, indexed by Function_Id.
  static const Function_Symbol* function_symbols();

  struct Functions {
    decltype(&::test_login_instance) test_login_instance = nullptr;
    decltype(&::get_instance_info) get_instance_info = nullptr;
    decltype(&::get_instance_port) get_instance_port = nullptr;
    decltype(&::get_instance_state) get_instance_state = nullptr;
    decltype(&::get_version) get_version = nullptr;
    decltype(&::get_log_mode) get_log_mode = nullptr;
    decltype(&::get_database_info) get_database_info = nullptr;
    decltype(&::get_schemas_info) get_schemas_info = nullptr;
    decltype(&::get_tables_info) get_tables_info = nullptr;
    decltype(&::get_cluster_nodes) get_cluster_nodes = nullptr;
  };

  // Loads the library at `path`, makes the five factories and looks up
  // every function of function_symbols(). False with err (dlerror's text
  // or the missing name) when the library cannot be loaded or a factory or
  // function is missing; whatever was made is released again.
  bool load(const std::string& path, std::string& err);

  // The module's functions; valid from a successful load until destruction.
  const Functions& functions() const { return functions_; }

  // The module's choice of the cluster node that runs a job
  // (oscar::Oscar_Cluster_Node_Manager), whose members the module exports
  // by their C++ names. Each call goes to the manager of the loaded module
  // with the member's own contract; both are safe from any thread. They
  // answer false when the module is not loaded.
  bool set_selection(const std::string& definition_uuid, const std::string& instance, int node_id,
                     const std::string& host_uuid, const std::string& state, time_t time) const;
  bool check_state(const std::string& instance, const std::string& uid, const std::string& virtual_address,
                   nlohmann::json& result) const;

  // The factories; valid from a successful load until destruction.
  Job_Creator* job_creator() const { return job_creator_; }
  Object_Creator_T<YAJL_Handler>* backup_source_parsers() const { return parsers_[BACKUP_SOURCE].creator; }
  Object_Creator_T<YAJL_Handler>* backup_options_parsers() const { return parsers_[BACKUP_OPTIONS].creator; }
  Object_Creator_T<YAJL_Handler>* restore_source_parsers() const { return parsers_[RESTORE_SOURCE].creator; }
  Object_Creator_T<YAJL_Handler>* restore_options_parsers() const { return parsers_[RESTORE_OPTIONS].creator; }

  // Whether user/password can log in to the instance, through the module's
  // own login test. False with err: the database's refusal ("Error, ...")
  // or why the test could not run. The password is not kept.
  bool test_login(const std::string& home, const std::string& instance, const std::string& user, const char* password,
                  std::string& err) const;

  // Where the module is looked for when no path is given: $OSCAR_MODULE
  // when set, else the installed module beside this program's installed
  // libraries (BINDIR/../lib/.../oscar-agent/liboscar.so) when it exists,
  // else liboscar.so at the top of the build tree that holds this program
  // (the binary lives in BUILD/agent/).
  static std::string default_path();

 private:
  enum { BACKUP_SOURCE, BACKUP_OPTIONS, RESTORE_SOURCE, RESTORE_OPTIONS, PARSER_COUNT };
  struct Parser_Factory {
    Object_Creator_T<YAJL_Handler>* creator = nullptr;
    Object_Creator_Exterminator destroy = nullptr;
  };

  struct Cluster_Members;
  void release();
  // Looks the cluster manager's members up; false with err naming the
  // first one missing.
  static bool find_cluster_members(void* handle, Cluster_Members& c, std::string& err);

  void* handle_ = nullptr;
  Job_Creator* job_creator_ = nullptr;
  Job_Creator_Exterminator job_creator_destroy_ = nullptr;
  Parser_Factory parsers_[PARSER_COUNT];
  Functions functions_;
  // The cluster manager's members, called with the manager as their first
  // argument (how GCC and Clang pass `this` to a member that is not
  // virtual).
  struct Cluster_Members {
    oscar::Oscar_Cluster_Node_Manager* (*instance)() = nullptr;
    bool (*set_selection)(oscar::Oscar_Cluster_Node_Manager*, const std::string&, const std::string&, int,
                          const std::string&, const std::string&, time_t) = nullptr;
    bool (*check_state)(oscar::Oscar_Cluster_Node_Manager*, const std::string&, const std::string&, const std::string&,
                        nlohmann::json&) = nullptr;
  };
  Cluster_Members cluster_;
};

#endif
