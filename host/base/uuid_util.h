#ifndef HOST_UUID_UTIL_H
#define HOST_UUID_UTIL_H

#include <string>

// The 16-byte binary form of a uuid.
enum { UUID_BINARY_SIZE = 16 };

// Parses the 36-character text form ("xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx",
// either case) into out, which must hold UUID_BINARY_SIZE bytes. Answers 0;
// on a text that is not a uuid answers -1 with errno EINVAL, logs it at
// LM_ERROR and leaves out untouched. Thread-safe.
int uuid_string_to_binary(const std::string& text, unsigned char* out);

// The lower-case text form of the uuid held in bin (UUID_BINARY_SIZE bytes).
// Thread-safe.
std::string uuid_binary_to_string(const unsigned char* bin);

#endif
