#include "host/catalog/minor_resource_id.h"

#include <uuid/uuid.h>

namespace {

// Namespace of the host's name-based ids.
const uuid_t MINOR_RESOURCE_NS = {0x6f, 0x73, 0x63, 0x61, 0x72, 0x2d, 0x4d, 0x52,
                                  0x8a, 0x11, 0x3c, 0x5e, 0x90, 0x21, 0x47, 0x0d};

}  // namespace

bool compute_minor_resource_id(const std::string& resource_id, const std::string& kind, std::string& out) {
  if (resource_id.empty() || kind.empty()) return false;
  const std::string name = resource_id + "\n" + kind;
  uuid_t id;
  uuid_generate_sha1(id, MINOR_RESOURCE_NS, name.data(), name.size());
  char text[37];
  uuid_unparse_lower(id, text);
  out = text;
  return true;
}
