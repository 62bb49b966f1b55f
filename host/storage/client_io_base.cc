#include "host/storage/client_io_base.h"

#include "tollix/secure_allocator.h"

Client_IO_Base::Options::~Options() {
  wipe(key);
  wipe(s3_secret_access_key);
}

bool Client_IO_Base::Options::set_extra_option(const std::string& name, const std::string& value) {
  if (name.empty()) return false;
  extra_options[name] = value;
  return true;
}
