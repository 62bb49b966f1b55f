#include "tests/support/json_gen.h"

#include <yajl/yajl_gen.h>

std::string generate_json(const std::function<int(yajl_gen_t*)>& write, int* status) {
  yajl_gen gen = yajl_gen_alloc(nullptr);
  int rc = write(gen);
  if (status != nullptr) *status = rc;
  const unsigned char* buf = nullptr;
  size_t len = 0;
  std::string out;
  if (yajl_gen_get_buf(gen, &buf, &len) == yajl_gen_status_ok) out.assign(reinterpret_cast<const char*>(buf), len);
  yajl_gen_free(gen);
  return out;
}
