#ifndef SIM_SIM_UTIL_H
#define SIM_SIM_UTIL_H

// Small helpers shared by every role of the simulator. None of them throws;
// failures are reported by the return value. All are safe to call from any
// thread (they keep no state).

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

std::string to_upper(std::string s);
std::string to_lower(std::string s);
std::string trim(const std::string& s);
bool iequals(const std::string& a, const std::string& b);
bool starts_with(const std::string& s, const std::string& prefix);

// The last component of a path ("a/b/c" gives "c"), and everything before it
// ("a/b/c" gives "a/b"; a name without a slash gives ".").
std::string base_name(const std::string& path);
std::string dir_name(const std::string& path);

// Strict unsigned decimal: digits only, no sign, no overflow.
bool parse_u64(const std::string& text, uint64_t& value);

// Reads a whole file into text; false (text unchanged) when unreadable.
bool read_text_file(const std::string& path, std::string& text);

// Writes text to a temporary file beside path and renames it over path, so a
// concurrent reader sees either the old or the new content, never a mix.
bool write_file_atomic(const std::string& path, const std::string& text, unsigned mode = 0644);

// Creates a directory and its parents; an existing directory is fine.
bool make_dirs(const std::string& path, unsigned mode = 0755);

bool is_regular_file(const std::string& path);
bool is_fifo(const std::string& path);

// The value of an environment variable, or the empty text when unset.
std::string env_or_empty(const char* name);

void sleep_ms(unsigned ms);

// Writes all of buf, retrying on EINTR and short writes; false on error.
bool write_all(int fd, const void* buf, size_t len);
// Reads until len bytes or end of file; the count read, or -1 on error.
long read_full(int fd, void* buf, size_t len);

// 64-bit FNV-1a, usable incrementally: pass the previous result as seed.
constexpr uint64_t FNV_OFFSET = 14695981039346656037ULL;
uint64_t fnv1a(const void* data, size_t len, uint64_t seed = FNV_OFFSET);

// Sleeps for the hang faults: until killed, but never longer than
// OSCAR_SIM_HANG_SECONDS (default 600), so a forgotten process ends itself.
void hang_until_killed();

}  // namespace sim

#endif
