#ifndef HOST_ACCOUNT_FILE_H
#define HOST_ACCOUNT_FILE_H

#include <string>
#include <vector>

#include "tollix/secure_allocator.h"

// One stored database account: the login the agent uses for an instance,
// either for one job definition (uid set) or for every job (uid empty).
struct Account_Record {
  std::string type;
  std::string instance;
  std::string uid;
  std::string user;
  secure_string password;

  Account_Record() = default;
  Account_Record(const Account_Record& other) = default;
  Account_Record& operator=(const Account_Record& other) = default;
  ~Account_Record() { wipe(password); }
};

// The accounts file of the agent state directory: JSON of the form
//   {"accounts": [{"type": "oscar", "instance": "DB1", "uid": "",
//                  "user": "sysdba", "password": "..."}, ...]}
// Read and written through YAJL with an allocator that wipes every block it
// frees, and through secure strings only, so no copy of a password is left
// in freed memory. Neither function logs a password or any part of the
// file's content. Safe from any thread (no shared state).

// Reads `path` into `out` (replacing its content). The file must belong to
// the running user and be readable by nobody else (mode 0600 or stricter):
// any group or other permission bit refuses the file. A missing file gives
// an empty list and true. false (logged, `out` empty) for a file that cannot
// be read, is too permissive, or is not of the form above.
bool read_account_file(const std::string& path, std::vector<Account_Record>& out);

// Writes the accounts to `path` atomically (a temporary file with mode 0600
// in the same directory, synced, then renamed). false (logged) on failure;
// the old file is then unchanged.
bool write_account_file(const std::string& path, const std::vector<Account_Record>& accounts);

#endif
