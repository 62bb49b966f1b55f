#ifndef AGENT_IMPORT_OVERLAP_H
#define AGENT_IMPORT_OVERLAP_H

#include <string>
#include <vector>

#include "agent/instance_access.h"
#include "agent/module.h"

// What an import would replace in its target instance. The module's import
// replaces what it meets: a table-level import the table it loads, a
// schema-level import the schema whole, a database-level import each schema
// the export holds. Main thread; the module must be loaded and the state
// directory open.

// Where an import goes and what is there already. `schema` and `table` are
// the import's target names: both set for a table-level import, `schema`
// alone for a schema-level one, neither for a database-level one.
struct Import_Overlap {
  std::string instance, schema, table;
  std::vector<std::string> schemas;  // existing schemas the import may replace
  std::vector<std::string> tables;   // existing tables it replaces (of `schema`)
  bool empty() const { return schemas.empty() && tables.empty(); }
};

// Fills the existing objects of `overlap` (whose names must be set) from
// `inst`, read through the module's browse functions; names compare
// ignoring case, so that a doubt asks rather than replaces. False with err
// naming the cause when the instance cannot be asked.
bool find_import_overlap(const Oscar_Module& module, const Registered_Instance& inst, Import_Overlap& overlap,
                         std::string& err);

// One line saying what the import replaces, for the consent question
// ("SALES.ITEMS exists in DB1; the import replaces it"): at most the first
// three names, with the count of the others. `overlap` must not be empty.
std::string replacement_statement(const Import_Overlap& overlap);

#endif
