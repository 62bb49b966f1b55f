#include "admin_args.h"

#include <cstdint>

#include "sim_util.h"

namespace sim {

bool parse_admin_args(int argc, char** argv, Admin_Args& args, std::string& err) {
  if (argc < 3) {
    err = "missing command or HOME";
    return false;
  }
  args.command = argv[1];
  args.home = argv[2];
  for (int i = 3; i < argc; ++i) {
    std::string a = argv[i];
    if (starts_with(a, "--")) {
      if (i + 1 >= argc) {
        err = "option " + a + " needs a value";
        return false;
      }
      args.options[a.substr(2)] = argv[++i];
    } else {
      args.rest.push_back(a);
    }
  }
  if (args.home.empty() || starts_with(args.home, "--")) {
    err = "missing HOME";
    return false;
  }
  return true;
}

bool parse_size(const std::string& text, uint64_t& bytes) {
  if (text.empty()) return false;
  uint64_t mult = 1;
  std::string digits = text;
  switch (text.back()) {
    case 'K':
    case 'k':
      mult = 1ULL << 10;
      digits.pop_back();
      break;
    case 'M':
    case 'm':
      mult = 1ULL << 20;
      digits.pop_back();
      break;
    case 'G':
    case 'g':
      mult = 1ULL << 30;
      digits.pop_back();
      break;
    default: break;
  }
  uint64_t v = 0;
  if (!parse_u64(digits, v) || v > UINT64_MAX / mult) return false;
  bytes = v * mult;
  return true;
}

}  // namespace sim
