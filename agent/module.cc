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

typedef bool (*Test_Login)(const char*, const char*, const char*, const char*, std::string*);

// The module's login test has C++ linkage; this is its name under the
// Itanium C++ ABI that GCC and Clang share.
const char TEST_LOGIN_SYMBOL[] =
    "_Z19test_login_instancePKcS0_S0_S0_PNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE";

// Longest wait for the module's threads to end before unloading it.
const int THREAD_WAIT_SECONDS = 30;

void* find_symbol(void* handle, const char* name, std::string& err) {
  dlerror();
  void* sym = dlsym(handle, name);
  if (sym == nullptr) err = std::string("the module does not export ") + name;
  return sym;
}

}  // namespace

Oscar_Module::~Oscar_Module() { release(); }

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
  void* sym = handle_ != nullptr ? find_symbol(handle_, TEST_LOGIN_SYMBOL, err) : nullptr;
  if (sym == nullptr) {
    if (err.empty()) err = "the module is not loaded";
    return false;
  }
  std::string refusal;
  if (reinterpret_cast<Test_Login>(sym)(home.c_str(), instance.c_str(), user.c_str(), password, &refusal)) return true;
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
