#ifndef HOST_GET_ENV_R_H
#define HOST_GET_ENV_R_H

#include <cstddef>
#include <string>

// Thread-safe reads of the process environment: the value is copied out
// under a process-wide lock, which set_env_r takes too, so a reader never
// sees a value that another thread is replacing through set_env_r.

// Copies the value of `name` into buf (len bytes, always NUL-terminated).
// Answers the value's length, or -1 when the variable is unset (buf empty),
// or -1 with errno ERANGE when the value does not fit (buf empty).
int get_env_r(const char* name, char* buf, std::size_t len);

// Copies the value of `name` into out; false (out empty) when unset.
bool get_env_r(const char* name, std::string& out);

// Sets (overwriting) a variable under the same lock; 0 or -1.
int set_env_r(const char* name, const char* value);

#endif
