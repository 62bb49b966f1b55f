#include "host/storage/storage_driver.h"

#include "host/storage/file_driver.h"
#include "host/storage/s3_driver.h"

bool plain_relative_name(const std::string& name) {
  if (name.empty()) return false;
  std::size_t at = 0;
  for (;;) {
    const std::size_t slash = name.find('/', at);
    const std::string element = name.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    if (element.empty() || element == "." || element == "..") return false;
    if (slash == std::string::npos) return true;
    at = slash + 1;
  }
}

std::unique_ptr<Storage_Driver> make_storage_driver(const std::string& url, std::string& err) {
  const std::size_t colon = url.find("://");
  const std::string scheme = colon == std::string::npos ? std::string() : url.substr(0, colon);
  if (scheme == "file") return std::unique_ptr<Storage_Driver>(new File_Driver);
  if (scheme == "s3") return std::unique_ptr<Storage_Driver>(new S3_Driver);
  err = "unsupported storage URL '" + url +
        "': " + (scheme.empty() ? std::string("no scheme") : "unknown scheme '" + scheme + "'") +
        ", expected file:// or s3://";
  return nullptr;
}
