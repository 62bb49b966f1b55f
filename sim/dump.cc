#include "dump.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "sim_util.h"
#include "table_data.h"

namespace sim {

namespace {

const char* MAGIC = "OSCAR-SIM-DUMP 1";

[[noreturn]] void die_now(std::FILE* out) {
  if (out) std::fflush(out);
  ::kill(::getpid(), SIGKILL);
  ::_exit(137);
}

struct File_Closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Reads one line (without its line feed) of at most max bytes. False at the
// end of the file, or with err set when the line is too long or unended.
class Line_Reader {
 public:
  Line_Reader(std::FILE* in, uint64_t die_after) : in_(in), die_after_(die_after) {}
  bool next(std::string& line, size_t max, std::string& err) {
    line.clear();
    int c;
    while ((c = getc_unlocked(in_)) != EOF) {
      if (++bytes_ == die_after_) die_now(nullptr);
      if (c == '\n') {
        ++number_;
        return true;
      }
      if (line.size() == max) {
        err = "a line is too long";
        return false;
      }
      line.push_back(static_cast<char>(c));
    }
    if (std::ferror(in_)) err = std::string("read error: ") + std::strerror(errno);
    if (!line.empty()) err = "it ends inside a line";
    return false;
  }
  uint64_t number() const { return number_; }

 private:
  std::FILE* in_;
  uint64_t die_after_;
  uint64_t bytes_ = 0;
  uint64_t number_ = 0;
};

bool get_u64(const json& j, const char* key, uint64_t& v) {
  if (!j.is_object() || !j.contains(key) || !j[key].is_number_unsigned()) return false;
  v = j[key].get<uint64_t>();
  return true;
}

bool get_text(const json& j, const char* key, std::string& v) {
  if (!j.is_object() || !j.contains(key) || !j[key].is_string()) return false;
  v = j[key].get<std::string>();
  return !v.empty();
}

}  // namespace

Dump_Writer::Dump_Writer(std::FILE* out, uint64_t die_after) : out_(out), die_after_(die_after) {}

bool Dump_Writer::put(const std::string& text) {
  if (die_after_ > 0 && bytes_ + text.size() >= die_after_) {
    size_t part = static_cast<size_t>(die_after_ - bytes_);
    if (out_) std::fwrite(text.data(), 1, part, out_);
    die_now(out_);
  }
  bytes_ += text.size();
  return !out_ || std::fwrite(text.data(), 1, text.size(), out_) == text.size();
}

bool Dump_Writer::header(const std::string& instance, const std::string& level) {
  return put(std::string(MAGIC) + "\n") && put(json{{"instance", instance}, {"level", level}}.dump() + "\n");
}

bool Dump_Writer::tablespace(const std::string& name, const std::string& datafile, uint64_t pages) {
  return put(json{{"tablespace", name}, {"datafile", datafile}, {"pages", pages}}.dump() + "\n");
}

bool Dump_Writer::schema(const std::string& name) {
  ++schemas_;
  return put(json{{"schema", name}}.dump() + "\n");
}

bool Dump_Writer::table(const json& table) {
  ++tables_;
  uint64_t width = table_width(table);
  json head{{"table", table.value("name", "")}, {"type", table.value("type", "BASE TABLE")}, {"width", width}};
  if (!put(head.dump() + "\n")) return false;
  std::string row;
  for (const Segment& s : table_segments(table)) {
    if (!put(json{{"segment", {{"seed", s.seed}, {"rows", s.rows}}}}.dump() + "\n")) return false;
    for (uint64_t i = 0; i < s.rows; ++i) {
      make_row(s.seed, i, width, row);
      row.push_back('\n');
      if (!put(row)) return false;
    }
    rows_ += s.rows;
  }
  return true;
}

bool Dump_Writer::end() {
  return put(json{{"end", {{"schemas", schemas_}, {"tables", tables_}, {"rows", rows_}}}}.dump() + "\n") &&
         (!out_ || std::fflush(out_) == 0);
}

bool read_dump(const std::string& path, uint64_t die_after, Dump& dump, std::string& err) {
  std::unique_ptr<std::FILE, File_Closer> in(std::fopen(path.c_str(), "re"));
  if (!in) {
    err = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  Line_Reader lines(in.get(), die_after);
  std::string line, expected;
  auto bad = [&](const std::string& why) {
    err = path + " is not a complete dump: " + (err.empty() ? why : err) + " (line " + std::to_string(lines.number()) +
          ")";
    return false;
  };
  constexpr size_t MAX_META = 4096;
  if (!lines.next(line, MAX_META, err) || line != MAGIC) return bad("no dump header");
  json j;
  if (!lines.next(line, MAX_META, err) || (j = json::parse(line, nullptr, false)).is_discarded() ||
      !get_text(j, "instance", dump.instance) || !get_text(j, "level", dump.level)) {
    return bad("no instance and level line");
  }
  uint64_t tables = 0, rows = 0;
  json* table = nullptr;
  while (true) {
    if (!lines.next(line, MAX_META, err)) return bad("it ends before its end line");
    j = json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return bad("unexpected line");
    Dump_Tablespace ts;
    std::string name;
    if (j.contains("end")) {
      uint64_t s = 0, t = 0, r = 0;
      if (!get_u64(j["end"], "schemas", s) || !get_u64(j["end"], "tables", t) || !get_u64(j["end"], "rows", r) ||
          s != dump.schemas.size() || t != tables || r != rows) {
        return bad("the end line does not match the content");
      }
      break;
    } else if (get_text(j, "tablespace", ts.name)) {
      if (!get_text(j, "datafile", ts.datafile) || !get_u64(j, "pages", ts.pages) || !dump.schemas.empty()) {
        return bad("bad tablespace line");
      }
      dump.tablespaces.push_back(ts);
    } else if (get_text(j, "schema", name)) {
      dump.schemas.push_back(Dump_Schema{name, json::array()});
      table = nullptr;
    } else if (get_text(j, "table", name)) {
      uint64_t width = 0;
      std::string type;
      if (dump.schemas.empty() || !get_text(j, "type", type) || !get_u64(j, "width", width) || width < MIN_ROW_BYTES ||
          width > MAX_ROW_BYTES) {
        return bad("bad table line");
      }
      json& arr = dump.schemas.back().tables;
      arr.push_back(make_table(name, type, width, {}));
      table = &arr.back();
      ++tables;
    } else if (j.contains("segment")) {
      Segment seg;
      if (!table || !get_u64(j["segment"], "seed", seg.seed) || !get_u64(j["segment"], "rows", seg.rows)) {
        return bad("bad segment line");
      }
      uint64_t width = table_width(*table);
      for (uint64_t i = 0; i < seg.rows; ++i) {
        if (!lines.next(line, static_cast<size_t>(width), err)) return bad("it ends inside the rows of a table");
        make_row(seg.seed, i, width, expected);
        if (line != expected) return bad("a row does not match its table");
      }
      std::vector<Segment> segs = table_segments(*table);
      segs.push_back(seg);
      set_table_segments(*table, segs);
      rows += seg.rows;
    } else {
      return bad("unexpected line");
    }
  }
  if (lines.next(line, MAX_META, err) || !err.empty()) return bad("something follows the end line");
  return true;
}

}  // namespace sim
