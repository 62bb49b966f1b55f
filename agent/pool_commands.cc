#include <cstdio>
#include <regex>
#include <string>

#include "agent/commands.h"
#include "agent/pool_lookup.h"
#include "agent/state_dir.h"
#include "host/storage/pool_info.h"

namespace {

bool valid_pool_name(const std::string& name) {
  static const std::regex re("[A-Za-z0-9][A-Za-z0-9_.-]{0,63}");
  return std::regex_match(name, re);
}

}  // namespace

int pool_add_command(const Command_Line& line) {
  std::string err;
  const std::string name = line.words[2];
  if (!valid_pool_name(name)) return fail(EXIT_USAGE, "pool add: invalid pool name \"" + name + "\"");
  const std::string url = option_value(line, "url");
  if (url.compare(0, 8, "file:///") != 0)
    return fail(EXIT_USAGE, "pool add: the url must be file:///ABSOLUTE/PATH, not \"" + url + "\"");
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  Pool_Info info;
  std::string uuid;
  std::string lookup_err;
  const bool known = find_pool_uuid(name, uuid, lookup_err);
  info.uuid = known ? uuid : new_uuid();
  info.name = name;
  info.url = url;
  if (!add_pool(info)) return fail(EXIT_FAILED, "pool add: cannot write the pool registry");
  std::printf("pool %s %s (uuid %s, url %s)\n", name.c_str(), known ? "updated" : "added", info.uuid.c_str(),
              url.c_str());
  return EXIT_OK;
}
