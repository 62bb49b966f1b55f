#include "agent/import_overlap.h"

#include <boost/algorithm/string/predicate.hpp>
#include <nlohmann/json.hpp>

namespace {

// How many names a statement spells out before it counts the rest.
const std::size_t NAMES_SHOWN = 3;

// The names of a browse answer (an array of texts) into out; false when the
// answer is not one.
bool names_of(const nlohmann::json& value, std::vector<std::string>& out) {
  if (!value.is_array()) return false;
  for (const nlohmann::json& n : value) {
    if (!n.is_string()) return false;
    out.push_back(n.get<std::string>());
  }
  return true;
}

bool has_name(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names) {
    if (boost::algorithm::iequals(n, name)) return true;
  }
  return false;
}

// "A, B, C and 2 more".
std::string name_list(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size() && i < NAMES_SHOWN; ++i) text += (i == 0 ? "" : ", ") + names[i];
  if (names.size() > NAMES_SHOWN) text += " and " + std::to_string(names.size() - NAMES_SHOWN) + " more";
  return text;
}

}  // namespace

bool find_import_overlap(const Oscar_Module& module, const Registered_Instance& inst, Import_Overlap& overlap,
                         std::string& err) {
  if (!check_reachable(module, inst, err)) return false;
  const Oscar_Module::Functions& f = module.functions();
  const char* name = inst.name.c_str();
  nlohmann::json value;
  std::vector<std::string> schemas;
  if (!f.get_schemas_info(inst.record, name, name, inst.user.c_str(), inst.password.c_str(), value) ||
      !names_of(value, schemas)) {
    err = "the schemas of " + inst.name + " cannot be listed";
    return false;
  }
  if (overlap.schema.empty()) {
    overlap.schemas = schemas;
    return true;
  }
  if (!has_name(schemas, overlap.schema)) return true;
  std::vector<std::string> tables;
  if (!f.get_tables_info(inst.record, name, name, overlap.schema.c_str(), inst.user.c_str(), inst.password.c_str(),
                         value) ||
      !names_of(value, tables)) {
    err = "the tables of schema " + overlap.schema + " of " + inst.name + " cannot be listed";
    return false;
  }
  if (overlap.table.empty()) {
    overlap.schemas.push_back(overlap.schema);
    overlap.tables = tables;
  } else if (has_name(tables, overlap.table)) {
    overlap.tables.push_back(overlap.table);
  }
  return true;
}

std::string replacement_statement(const Import_Overlap& overlap) {
  const std::string in = " in " + overlap.instance;
  const std::string replaces = "; the import replaces ";
  if (!overlap.table.empty()) return overlap.schema + "." + overlap.table + " exists" + in + replaces + "it";
  if (!overlap.schema.empty()) {
    const std::size_t n = overlap.tables.size();
    const std::string tables = n == 0   ? "no tables"
                               : n == 1 ? "table " + overlap.tables[0]
                                        : std::to_string(n) + " tables: " + name_list(overlap.tables);
    return "schema " + overlap.schema + " exists" + in + " (" + tables + ")" + replaces + "it whole";
  }
  if (overlap.schemas.size() == 1)
    return "schema " + overlap.schemas[0] + " exists" + in + replaces + "it if the export holds it";
  return std::to_string(overlap.schemas.size()) + " schemas exist" + in + " (" + name_list(overlap.schemas) + ")" +
         replaces + "each one the export holds";
}
