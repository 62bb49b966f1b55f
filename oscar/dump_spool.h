#ifndef OSCAR_DUMP_SPOOL_H
#define OSCAR_DUMP_SPOOL_H

#include <string>

namespace oscar {

// The directory under which every export writes its dump files, one run
// directory per backup definition: SPOOL/DEFINITION/INSTANCE_DB/FILE.
extern const char DUMP_SPOOL_DIR[];

// DUMP_SPOOL_DIR under the host's root prefix (empty in production).
std::string dump_spool_path();

// Makes the dump spool (mode 0700, with its missing parents) and checks
// that it belongs to the effective user and that no other user can write
// it: the database's tables lie in it while a run lasts. False with `why`
// set to one line that says how to mend it. Thread-safe.
bool prepare_dump_spool(std::string& why);

// The path with "." and ".." resolved and every symbolic link followed, as
// far as the path exists; the part that does not exist yet is joined on
// lexically. Empty when the path is not absolute or its links go round
// in circles. Thread-safe.
std::string resolve_path(const std::string& path);

// The export run directory that holds `dump_file`: the grandparent
// directory of the dump file resolved as resolve_path does, when it lies
// strictly inside the resolved dump spool. A path anywhere else (the spool
// itself, outside it, or leading out of it through ".." or a symbolic
// link) is refused: false with `why` saying so, `run_dir` untouched.
// Nothing is created, written or removed. Thread-safe.
bool export_run_dir(const std::string& dump_file, std::string& run_dir, std::string& why);

}  // namespace oscar

#endif
