// Feeds arbitrary JSON to the catalogue's query language. The input is
// [view selector, rows, query]: a number picking the view and collection,
// the rows of the view, and the query. Bad queries and data must fail
// cleanly (false with a reason), never crash or throw; an answer must be
// {"rows": [...]} holding only rows that were given, and no more than a
// given "limit".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/catalog/catalog_query.h"

namespace {

using json = nlohmann::json;

// Whether every answered row is one of the given rows, possibly without
// members the answer may leave out ("backup_files").
bool rows_were_given(const json& answer, const std::vector<json>& rows) {
  for (const json& a : answer) {
    bool found = false;
    for (const json& r : rows) {
      json trimmed = r;
      if (trimmed.is_object()) trimmed.erase("backup_files");
      if (a == r || a == trimmed) {
        found = true;
        break;
      }
    }
    if (!found) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const json doc = json::parse(data, data + size, nullptr, false);
  if (doc.is_discarded() || !doc.is_array() || doc.size() != 3 || !doc[0].is_number_unsigned() || !doc[1].is_array())
    return 0;
  std::vector<json> rows;
  for (const json& r : doc[1])
    if (r.is_object()) rows.push_back(r);
  const json& query = doc[2];
  const unsigned which = doc[0].get<unsigned>() % 3;
  json result;
  std::string err;
  bool ok = false;
  try {
    ok = which == 2 ? select_catalog_sequence(rows, query, result, err)
                    : select_catalog_rows(which == 0 ? "oscar" : "oscar_brcmd", rows, query, result, err);
  } catch (...) {
    std::abort();
  }
  if (!ok) {
    if (err.empty()) std::abort();
    return 0;
  }
  if (!result.is_object() || !result.contains("rows") || !result["rows"].is_array()) std::abort();
  const json& answer = result["rows"];
  if (answer.size() > rows.size() || !rows_were_given(answer, rows)) std::abort();
  if (which != 2 && query.is_object() && query.contains("limit") && query["limit"].is_number_unsigned() &&
      answer.size() > query["limit"].get<std::size_t>())
    std::abort();
  return 0;
}
