#include "host/base/uuid_util.h"

#include <ace/Log_Msg.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <cstring>

namespace {
const std::size_t UUID_TEXT_SIZE = 36;
}

int uuid_string_to_binary(const std::string& text, unsigned char* out) {
  uuid_t bin;
  // uuid_parse reads a C string, so a text with an inner NUL or of another
  // length must be refused here.
  if (text.size() != UUID_TEXT_SIZE || text.find('\0') != std::string::npos || uuid_parse(text.c_str(), bin) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Invalid uuid text '%.64C'\n"), text.c_str()));
    errno = EINVAL;
    return -1;
  }
  std::memcpy(out, bin, UUID_BINARY_SIZE);
  return 0;
}

std::string uuid_binary_to_string(const unsigned char* bin) {
  char text[UUID_TEXT_SIZE + 1];
  uuid_unparse_lower(bin, text);
  return std::string(text, UUID_TEXT_SIZE);
}
