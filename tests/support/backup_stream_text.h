#ifndef TESTS_SUPPORT_BACKUP_STREAM_TEXT_H
#define TESTS_SUPPORT_BACKUP_STREAM_TEXT_H

// Backup streams as brcmd writes them, built by hand for the tests of the
// module's copy and feed of such streams.

#include <cstdint>
#include <string>

#include "oscar/brcmd_stream.h"

// A head announcing `total` bytes of head and info data.
inline std::string info_head(std::uint32_t total) {
  std::string h(oscar::BACKUP_INFO_HEAD_SIZE, '\x5a');
  h[0] = static_cast<char>(total >> 24);
  h[1] = static_cast<char>(total >> 16);
  h[2] = static_cast<char>(total >> 8);
  h[3] = static_cast<char>(total);
  return h;
}

// A whole stream: the head, the info lines ("path=size" and others), the data.
inline std::string backup_stream(const std::string& info, const std::string& data) {
  return info_head(static_cast<std::uint32_t>(oscar::BACKUP_INFO_HEAD_SIZE + info.size())) + info + data;
}

#endif
