#include "agent/module.h"

#include <ace/Log_Msg.h>
#include <ace/Thread_Manager.h>
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "host/base/job_log.h"

namespace {

typedef Job_Creator* (*Make_Job_Creator)(Job_Creator_Exterminator*);
typedef Object_Creator_T<YAJL_Handler>* (*Make_Parser_Creator)(Object_Creator_Exterminator*);

// The functions have C++ linkage, so they are found by their mangled
// names; a change of a declaration in the module's headers changes the
// name, and load() then names the function it misses.
const Oscar_Module::Function_Symbol FUNCTION_SYMBOLS[Oscar_Module::FUNCTION_COUNT] = {
    {"test_login_instance", "_Z19test_login_instancePKcS0_S0_S0_PNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"},
    {"get_instance_info",
     "_Z17get_instance_infoRSt3mapINSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE19Oscar_Instance_"
     "InfoSt4lessIS5_ESaISt4pairIKS5_S6_EEEPKc"},
    {"get_instance_port", "_Z17get_instance_portPKcS0_Rt"},
    {"get_instance_state", "_Z18get_instance_statePKcS0_RNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"},
    {"get_version", "_Z11get_versionPKctS0_RNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEb"},
    {"get_log_mode", "_Z12get_log_modePKcS0_S0_S0_tRb"},
    {"get_database_info",
     "_Z17get_database_infoRKSt10shared_ptrIK8InstanceEPKcS6_S6_RN8nlohmann16json_abi_v3_11_210basic_"
     "jsonISt3mapSt6vectorNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEblmdSaNS8_14adl_serializerESB_"
     "IhSaIhEEEE"},
    {"get_schemas_info",
     "_Z16get_schemas_infoRKSt10shared_ptrIK8InstanceEPKcS6_S6_S6_RN8nlohmann16json_abi_v3_11_210basic_"
     "jsonISt3mapSt6vectorNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEblmdSaNS8_14adl_serializerESB_"
     "IhSaIhEEEE"},
    {"get_tables_info",
     "_Z15get_tables_infoRKSt10shared_ptrIK8InstanceEPKcS6_S6_S6_S6_RN8nlohmann16json_abi_v3_11_210basic_"
     "jsonISt3mapSt6vectorNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEblmdSaNS8_14adl_serializerESB_"
     "IhSaIhEEEE"},
    {"get_cluster_nodes", "_Z17get_cluster_nodesPKcS0_S0_S0_S0_RSt6vectorI15Oscar_Node_InfoSaIS2_EE"},
};

const char* const CLUSTER_INSTANCE = "_ZN5oscar26Oscar_Cluster_Node_Manager8instanceEv";
const char* const CLUSTER_SET_SELECTION =
    "_ZN5oscar26Oscar_Cluster_Node_Manager13set_selectionERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES8_"
    "iS8_S8_l";
const char* const CLUSTER_CHECK_STATE =
    "_ZN5oscar26Oscar_Cluster_Node_Manager11check_stateERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES8_S8_"
    "RN8nlohmann16json_abi_v3_11_210basic_jsonISt3mapSt6vectorS6_blmdSaNSA_14adl_serializerESD_IhSaIhEEEE";

// Longest wait for the module's threads to end before unloading it.
const int THREAD_WAIT_SECONDS = 30;

void* find_symbol(void* handle, const char* name, std::string& err) {
  dlerror();
  void* sym = dlsym(handle, name);
  if (sym == nullptr) err = std::string("the module does not export ") + name;
  return sym;
}

// Looks every function up; false with err naming the first one missing.
bool find_functions(void* handle, Oscar_Module::Functions& f, std::string& err) {
  void* sym[Oscar_Module::FUNCTION_COUNT];
  for (int i = 0; i < Oscar_Module::FUNCTION_COUNT; ++i) {
    dlerror();
    sym[i] = dlsym(handle, FUNCTION_SYMBOLS[i].symbol);
    if (sym[i] == nullptr) {
      err = std::string("the module does not export ") + FUNCTION_SYMBOLS[i].name + " (" + FUNCTION_SYMBOLS[i].symbol +
            ")";
      return false;
    }
  }
  f.test_login_instance = reinterpret_cast<decltype(f.test_login_instance)>(sym[Oscar_Module::TEST_LOGIN_INSTANCE]);
  f.get_instance_info = reinterpret_cast<decltype(f.get_instance_info)>(sym[Oscar_Module::GET_INSTANCE_INFO]);
  f.get_instance_port = reinterpret_cast<decltype(f.get_instance_port)>(sym[Oscar_Module::GET_INSTANCE_PORT]);
  f.get_instance_state = reinterpret_cast<decltype(f.get_instance_state)>(sym[Oscar_Module::GET_INSTANCE_STATE]);
  f.get_version = reinterpret_cast<decltype(f.get_version)>(sym[Oscar_Module::GET_VERSION]);
  f.get_log_mode = reinterpret_cast<decltype(f.get_log_mode)>(sym[Oscar_Module::GET_LOG_MODE]);
  f.get_database_info = reinterpret_cast<decltype(f.get_database_info)>(sym[Oscar_Module::GET_DATABASE_INFO]);
  f.get_schemas_info = reinterpret_cast<decltype(f.get_schemas_info)>(sym[Oscar_Module::GET_SCHEMAS_INFO]);
  f.get_tables_info = reinterpret_cast<decltype(f.get_tables_info)>(sym[Oscar_Module::GET_TABLES_INFO]);
  f.get_cluster_nodes = reinterpret_cast<decltype(f.get_cluster_nodes)>(sym[Oscar_Module::GET_CLUSTER_NODES]);
  return true;
}

}  // namespace

bool Oscar_Module::find_cluster_members(void* handle, Cluster_Members& c, std::string& err) {
  void* instance = find_symbol(handle, CLUSTER_INSTANCE, err);
  void* set_selection = instance == nullptr ? nullptr : find_symbol(handle, CLUSTER_SET_SELECTION, err);
  void* check_state = set_selection == nullptr ? nullptr : find_symbol(handle, CLUSTER_CHECK_STATE, err);
  if (check_state == nullptr) return false;
  c.instance = reinterpret_cast<decltype(c.instance)>(instance);
  c.set_selection = reinterpret_cast<decltype(c.set_selection)>(set_selection);
  c.check_state = reinterpret_cast<decltype(c.check_state)>(check_state);
  return true;
}

bool Oscar_Module::set_selection(const std::string& definition_uuid, const std::string& instance, int node_id,
                                 const std::string& host_uuid, const std::string& state, time_t time) const {
  if (cluster_.set_selection == nullptr) return false;
  oscar::Oscar_Cluster_Node_Manager* manager = cluster_.instance();
  return manager != nullptr &&
         cluster_.set_selection(manager, definition_uuid, instance, node_id, host_uuid, state, time);
}

bool Oscar_Module::check_state(const std::string& instance, const std::string& uid, const std::string& virtual_address,
                               nlohmann::json& result) const {
  if (cluster_.check_state == nullptr) return false;
  oscar::Oscar_Cluster_Node_Manager* manager = cluster_.instance();
  return manager != nullptr && cluster_.check_state(manager, instance, uid, virtual_address, result);
}

Oscar_Module::~Oscar_Module() { release(); }

const Oscar_Module::Function_Symbol* Oscar_Module::function_symbols() { return FUNCTION_SYMBOLS; }

bool Oscar_Module::load(const std::string& path, std::string& err) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* text = dlerror();
    err = "cannot load module " + path + ": " + (text != nullptr ? text : "unknown error");
    return false;
  }
  void* make = find_symbol(handle_, "_make_Oscar_Job_Creator", err);
  if (make == nullptr) {
    release();
    return false;
  }
  job_creator_ = reinterpret_cast<Make_Job_Creator>(make)(&job_creator_destroy_);
  static const char* const names[PARSER_COUNT] = {
      "_make_Oscar_Backup_Job_Source_Parser_Creator", "_make_Oscar_Backup_Job_Options_Parser_Creator",
      "_make_Oscar_Restore_Job_Source_Parser_Creator", "_make_Oscar_Restore_Job_Options_Parser_Creator"};
  for (int i = 0; i < PARSER_COUNT; ++i) {
    make = find_symbol(handle_, names[i], err);
    if (make == nullptr) {
      release();
      return false;
    }
    parsers_[i].creator = reinterpret_cast<Make_Parser_Creator>(make)(&parsers_[i].destroy);
  }
  if (!find_functions(handle_, functions_, err) || !find_cluster_members(handle_, cluster_, err)) {
    release();
    return false;
  }
  if (job_creator_ == nullptr || job_creator_destroy_ == nullptr) {
    err = "the module's job factory gave no creator";
    release();
    return false;
  }
  for (const Parser_Factory& p : parsers_) {
    if (p.creator == nullptr || p.destroy == nullptr) {
      err = "a parser factory of the module gave no creator";
      release();
      return false;
    }
  }
  return true;
}

bool Oscar_Module::test_login(const std::string& home, const std::string& instance, const std::string& user,
                              const char* password, std::string& err) const {
  if (functions_.test_login_instance == nullptr) {
    err = "the module is not loaded";
    return false;
  }
  std::string refusal;
  if (functions_.test_login_instance(home.c_str(), instance.c_str(), user.c_str(), password, &refusal)) return true;
  err = refusal.empty() ? std::string("the login was refused") : refusal;
  return false;
}

void Oscar_Module::release() {
  if (job_creator_ != nullptr && job_creator_destroy_ != nullptr) job_creator_destroy_(job_creator_);
  job_creator_ = nullptr;
  for (Parser_Factory& p : parsers_) {
    if (p.creator != nullptr && p.destroy != nullptr) p.destroy(p.creator);
    p = Parser_Factory();
  }
  functions_ = Functions();
  cluster_ = Cluster_Members();
  if (handle_ == nullptr) return;
  bind_log_callback(ACE_Log_Msg_Callback_var());
  ACE_LOG_MSG->msg_callback(nullptr);
  ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(THREAD_WAIT_SECONDS);
  if (ACE_Thread_Manager::instance()->wait(&deadline) == 0) {
    dlclose(handle_);
  } else {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l threads of the module still run, it stays loaded\n")));
  }
  handle_ = nullptr;
}

std::string Oscar_Module::default_path() {
  const char* env = std::getenv("OSCAR_MODULE");
  if (env != nullptr && *env != '\0') return env;
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "liboscar.so";
  std::string dir(exe, static_cast<std::size_t>(n));
  dir.erase(dir.rfind('/'));
  const std::string installed = dir + "/" + OSCAR_MODULE_FROM_BINDIR;
  if (::access(installed.c_str(), F_OK) == 0) return installed;
  const std::size_t up = dir.rfind('/');
  return (up == std::string::npos ? std::string(".") : dir.substr(0, up)) + "/liboscar.so";
}
