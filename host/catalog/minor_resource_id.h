#ifndef HOST_MINOR_RESOURCE_ID_H
#define HOST_MINOR_RESOURCE_ID_H

#include <string>

// A stable id of a resource's records of one kind: the same two texts give
// the same id (a name-based uuid in text form) in every process and run.
// False, out unchanged, when either text is empty.
bool compute_minor_resource_id(const std::string& resource_id, const std::string& kind, std::string& out);

#endif
