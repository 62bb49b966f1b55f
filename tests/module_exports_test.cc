// The module's public names of the command layer, discovery, browsing and
// the cluster node manager are exported from the shared library, and its
// internal helpers are not.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string exported_names() {
  std::string cmd = std::string("nm -DC --defined-only '") + OSCAR_MODULE_PATH + "'";
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

TEST(ModuleExports, CommandDiscoveryBrowseAndManagerNamesAreVisible) {
  std::string names = exported_names();
  ASSERT_FALSE(names.empty());
  for (const char* name : {" execute_oscar_cmd(",
                           " Oscar_Query_Handler::select(char const*)",
                           " Oscar_Query_Handler::Oscar_Query_Handler(",
                           " get_version(",
                           " get_log_mode(",
                           " get_instance_info(",
                           " get_cluster_nodes(",
                           " get_update_attrs(",
                           " get_instance_port(",
                           " get_instance_state(",
                           " get_from_instance_options(",
                           " test_login_instance(",
                           " get_database_info(",
                           " get_schemas_info(",
                           " get_tables_info(",
                           " oscar::Oscar_Cluster_Node_Manager::instance()",
                           " oscar::Oscar_Cluster_Node_Manager::close_instance()",
                           " oscar::Oscar_Cluster_Node_Manager::is_selected_node(",
                           " oscar::Oscar_Cluster_Node_Manager::get_selection(",
                           " oscar::Oscar_Cluster_Node_Manager::set_selection(",
                           " oscar::Oscar_Cluster_Node_Manager::check_state("}) {
    EXPECT_NE(std::string::npos, names.find(name)) << name;
  }
  for (const char* name : {" get_cluster_nodes_info(", " mask_command(", " start_instance(", " RE_END_LINE"}) {
    EXPECT_EQ(std::string::npos, names.find(name)) << name;
  }
}

TEST(ModuleExports, ModuleLoadsAndUnloadsWithTheManagerMade) {
  void* lib = ::dlopen(OSCAR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, lib) << ::dlerror();
  typedef void* (*Instance_Fn)();
  auto instance = reinterpret_cast<Instance_Fn>(::dlsym(lib, "_ZN5oscar26Oscar_Cluster_Node_Manager8instanceEv"));
  ASSERT_NE(nullptr, instance);
  EXPECT_NE(nullptr, instance());
  EXPECT_EQ(instance(), instance());
  EXPECT_EQ(0, ::dlclose(lib));
}

}  // namespace
