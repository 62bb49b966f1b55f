#ifndef SIM_TABLE_DATA_H
#define SIM_TABLE_DATA_H

// The content of a simulated table. A table entry of the state file is
//   {"name", "type", "width", "rows", "segments": [{"seed", "rows"}, ...]}
// and its rows are the rows of its segments in order. Row i of a segment is
// a text of exactly `width` bytes that depends only on the segment's seed
// and i, so a table of millions of rows costs a few bytes of state while an
// export still writes (and an import still reads and checks) every row.
// Loading rows into a table appends a segment; changing a table's content
// gives it a new seed. "rows" is the total, kept for readers of the state.

#include <cstdint>
#include <string>
#include <vector>

#include "state.h"

namespace sim {

constexpr uint64_t DEFAULT_ROW_BYTES = 64;
constexpr uint64_t MIN_ROW_BYTES = 32;
constexpr uint64_t MAX_ROW_BYTES = 65536;

struct Segment {
  uint64_t seed = 0;
  uint64_t rows = 0;
};

// The segments of a table entry. An entry without segments (an older state
// file) is one segment of its "rows", seeded by its name.
std::vector<Segment> table_segments(const json& table);
uint64_t table_width(const json& table);
uint64_t table_rows(const json& table);

// Replaces the table's content, keeping "rows" equal to the total.
void set_table_segments(json& table, const std::vector<Segment>& segments);

// A new table entry of one segment.
json make_table(const std::string& name, const std::string& type, uint64_t width, const std::vector<Segment>& segments);

// Row index of a segment with the given seed, as `width` bytes (no line
// feed): "IIIIIIIIIIII|HHHHHHHHHHHHHHHH|" then lower-case letters.
void make_row(uint64_t seed, uint64_t index, uint64_t width, std::string& row);

// One 64-bit FNV-1a digest over every row of the table, each followed by a
// line feed, in order. Two tables with the same rows have the same digest,
// whatever their names.
uint64_t table_checksum(const json& table);

// Whether a schema is one of the server's own (never exported at database level).
bool is_system_schema(const std::string& name);

// The table entry named name in a schema's table array, or null.
json* find_table(json& tables, const std::string& name);
const json* find_table(const json& tables, const std::string& name);

// Splits "SCHEMA.TABLE" at its first dot; false when either part is empty.
bool split_table_name(const std::string& qualified, std::string& schema, std::string& table);

}  // namespace sim

#endif
