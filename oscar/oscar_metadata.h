#ifndef OSCAR_OSCAR_METADATA_H
#define OSCAR_OSCAR_METADATA_H

#include <nlohmann/json.hpp>
#include <string>

#include "host/fileset/mtf.h"

namespace oscar {

// The metadata document of an export backup set: the storage layer's
// generic document plus the exported instance's name ("dbinstance") and its
// user tablespaces at backup time ("tablespaces", in the database's order),
// so that an import can re-create them. Both live in the base's one JSON
// object; no data of its own. Every accessor answers false, logged, and
// touches nothing when the document is not a JSON object; a getter also
// answers false when the key is absent or holds another JSON type.
class Oscar_Metadata : public MTF::Metadata {
 public:
  bool get_dbinstance(std::string& out) const;
  bool set_dbinstance(const std::string& name);
  bool get_tablespaces(nlohmann::json& out) const;
  bool set_tablespaces(const nlohmann::json& names);

 private:
  bool is_object(int line) const;
};

}  // namespace oscar

#endif
