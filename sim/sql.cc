#include "sql.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "datafiles.h"
#include "sim_util.h"

namespace sim {

namespace {

struct Token {
  enum Type { WORD, TEXT, PUNCT, END } type;
  std::string text;  // WORD upper-cased unless it was double-quoted
};

bool tokenize(const std::string& sql, std::vector<Token>& out, std::string& err) {
  size_t i = 0;
  while (i < sql.size()) {
    unsigned char c = static_cast<unsigned char>(sql[i]);
    if (std::isspace(c) || c == ';') {
      ++i;
    } else if (c == '\'') {
      std::string v;
      ++i;
      while (true) {
        if (i >= sql.size()) {
          err = "unterminated quoted string";
          return false;
        }
        if (sql[i] == '\'') {
          if (i + 1 < sql.size() && sql[i + 1] == '\'') {
            v += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        v += sql[i++];
      }
      out.push_back({Token::TEXT, v});
    } else if (c == '"') {
      size_t e = sql.find('"', i + 1);
      if (e == std::string::npos) {
        err = "unterminated quoted identifier";
        return false;
      }
      out.push_back({Token::WORD, sql.substr(i + 1, e - i - 1)});
      i = e + 1;
    } else if (std::isalnum(c) || c == '_' || c == '$') {
      size_t b = i;
      while (i < sql.size() &&
             (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '_' || sql[i] == '$' || sql[i] == '.'))
        ++i;
      out.push_back({Token::WORD, to_upper(sql.substr(b, i - b))});
    } else if (c == '<' && i + 1 < sql.size() && sql[i + 1] == '>') {
      out.push_back({Token::PUNCT, "<>"});
      i += 2;
    } else if (c == '!' && i + 1 < sql.size() && sql[i + 1] == '=') {
      out.push_back({Token::PUNCT, "<>"});
      i += 2;
    } else if (std::strchr("(),=*", c)) {
      out.push_back({Token::PUNCT, std::string(1, static_cast<char>(c))});
      ++i;
    } else {
      err = std::string("syntax error at or near \"") + static_cast<char>(c) + "\"";
      return false;
    }
  }
  out.push_back({Token::END, ""});
  return true;
}

class Parser {
 public:
  explicit Parser(std::vector<Token> t) : t_(std::move(t)) {}
  const Token& peek() const { return t_[pos_]; }
  bool word(const char* w) {
    if (t_[pos_].type == Token::WORD && t_[pos_].text == w) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool punct(const char* p) {
    if (t_[pos_].type == Token::PUNCT && t_[pos_].text == p) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool name(std::string& out) {
    if (t_[pos_].type != Token::WORD) return false;
    out = t_[pos_++].text;
    return true;
  }
  bool text(std::string& out) {
    if (t_[pos_].type != Token::TEXT) return false;
    out = t_[pos_++].text;
    return true;
  }
  bool at_end() const { return t_[pos_].type == Token::END; }
  std::string near() const {
    return t_[pos_].type == Token::END ? "syntax error at end of input"
                                       : "syntax error at or near \"" + t_[pos_].text + "\"";
  }

 private:
  std::vector<Token> t_;
  size_t pos_ = 0;
};

struct View {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
};

bool build_view(const std::string& name, const json& inst, View& v) {
  if (name == "V_SYS_DATABASE_INFO") {
    v.columns = {"ARCHIVEMODE", "STATUS"};
    v.rows.push_back({inst.value("archive_mode", "ARCHIVELOG"), "OPEN"});
  } else if (name == "V_SYS_SCHEMAS") {
    v.columns = {"TABLE_SCHEM"};
    for (auto it = inst["schemas"].begin(); it != inst["schemas"].end(); ++it) v.rows.push_back({it.key()});
  } else if (name == "V_SYS_TABLES") {
    v.columns = {"TABLE_SCHEM", "TABLE_NAME", "TABLE_TYPE"};
    for (auto it = inst["schemas"].begin(); it != inst["schemas"].end(); ++it) {
      for (const auto& t : *it) v.rows.push_back({it.key(), t.value("name", ""), t.value("type", "BASE TABLE")});
    }
  } else if (name == "SYS_TABLESPACE") {
    v.columns = {"TSNAME", "TSKIND", "DATAFILE"};
    for (const auto& ts : inst["tablespaces"]) {
      v.rows.push_back({ts.value("name", ""), ts.value("kind", "p"), ts.value("datafile", "")});
    }
  } else if (name == "V_SYS_HA_SLAVE_INFO") {
    v.columns = {"NODE_ID", "ADDRESS", "STATUS"};
    for (const auto& n : inst["cluster_nodes"]) {
      const json& id = n.contains("node_id") ? n["node_id"] : json();
      v.rows.push_back(
          {id.is_string() ? id.get<std::string>() : id.dump(), n.value("address", ""), n.value("status", "")});
    }
  } else {
    return false;
  }
  return true;
}

struct Condition {
  size_t column;
  bool negate;
  std::vector<std::string> values;
};

bool parse_select(Parser& p, const Sql_Context& ctx, const json& inst, Sql_Result& out, std::string& err) {
  if (p.word("VERSION")) {
    if (!p.punct("(") || !p.punct(")") || !p.at_end()) {
      err = p.near();
      return false;
    }
    out.kind = Sql_Result::ROWS;
    out.columns = {"version"};
    out.rows = {{ctx.version_text}};
    return true;
  }
  std::vector<std::string> wanted;
  bool star = p.punct("*");
  if (!star) {
    do {
      std::string c;
      if (!p.name(c)) {
        err = p.near();
        return false;
      }
      wanted.push_back(c);
    } while (p.punct(","));
  }
  std::string view_name;
  if (!p.word("FROM") || !p.name(view_name)) {
    err = p.near();
    return false;
  }
  View v;
  if (!build_view(view_name, inst, v)) {
    err = "relation \"" + to_lower(view_name) + "\" does not exist";
    return false;
  }
  auto column_index = [&](const std::string& c, size_t& idx) {
    auto it = std::find(v.columns.begin(), v.columns.end(), c);
    if (it == v.columns.end()) {
      err = "column \"" + to_lower(c) + "\" does not exist";
      return false;
    }
    idx = static_cast<size_t>(it - v.columns.begin());
    return true;
  };
  std::vector<Condition> conds;
  if (p.word("WHERE")) {
    do {
      Condition c{0, false, {}};
      std::string col, val;
      if (!p.name(col)) {
        err = p.near();
        return false;
      }
      if (!column_index(col, c.column)) return false;
      if (p.punct("=") || (p.punct("<>") && (c.negate = true))) {
        if (!p.text(val)) {
          err = p.near();
          return false;
        }
        c.values.push_back(val);
      } else {
        c.negate = p.word("NOT");
        if (!p.word("IN") || !p.punct("(")) {
          err = p.near();
          return false;
        }
        do {
          if (!p.text(val)) {
            err = p.near();
            return false;
          }
          c.values.push_back(val);
        } while (p.punct(","));
        if (!p.punct(")")) {
          err = p.near();
          return false;
        }
      }
      conds.push_back(c);
    } while (p.word("AND"));
  }
  if (!p.at_end()) {
    err = p.near();
    return false;
  }
  std::vector<size_t> picks;
  if (star) {
    for (size_t i = 0; i < v.columns.size(); ++i) picks.push_back(i);
  } else {
    for (const std::string& c : wanted) {
      size_t idx;
      if (!column_index(c, idx)) return false;
      picks.push_back(idx);
    }
  }
  out.kind = Sql_Result::ROWS;
  for (size_t i : picks) out.columns.push_back(star ? v.columns[i] : wanted[out.columns.size()]);
  for (const auto& row : v.rows) {
    bool keep = true;
    for (const Condition& c : conds) {
      bool in = std::find(c.values.begin(), c.values.end(), row[c.column]) != c.values.end();
      if (in == c.negate) keep = false;
    }
    if (!keep) continue;
    std::vector<std::string> r;
    for (size_t i : picks) r.push_back(row[i]);
    out.rows.push_back(r);
  }
  return true;
}

bool create_tablespace(Parser& p, const Sql_Context& ctx, json& inst, Sql_Result& out, std::string& err) {
  std::string name, path;
  if (!p.name(name) || !p.word("DATAFILE") || !p.text(path) || !p.at_end()) {
    err = p.near();
    return false;
  }
  for (const auto& ts : inst["tablespaces"]) {
    if (ts.value("name", "") == name) {
      err = "tablespace \"" + name + "\" already exists";
      return false;
    }
  }
  if (path.empty() || path[0] != '/') {
    err = "data file path must be absolute: " + path;
    return false;
  }
  if (is_regular_file(path)) {
    err = "data file " + path + " already exists";
    return false;
  }
  uint64_t lsn = inst.value("lsn", uint64_t{1}) + 1;
  if (!create_data_file(path, 16, lsn, fnv1a(path.data(), path.size()), err)) return false;
  std::string file = dir_name(path) == ctx.data_dir ? base_name(path) : path;
  inst["tablespaces"].push_back(json{{"name", name}, {"kind", "p"}, {"datafile", file}});
  inst["lsn"] = lsn;
  out.changed = true;
  out.message = "CREATE TABLESPACE";
  return true;
}

bool create_schema(Parser& p, json& inst, Sql_Result& out, std::string& err) {
  bool if_not_exists = false;
  if (p.word("IF")) {
    if (!p.word("NOT") || !p.word("EXISTS")) {
      err = p.near();
      return false;
    }
    if_not_exists = true;
  }
  std::string name;
  if (!p.name(name) || !p.at_end()) {
    err = p.near();
    return false;
  }
  out.message = "CREATE SCHEMA";
  if (inst["schemas"].contains(name)) {
    if (if_not_exists) return true;
    err = "schema \"" + name + "\" already exists";
    return false;
  }
  inst["schemas"][name] = json::array();
  out.changed = true;
  return true;
}

}  // namespace

bool execute_sql(const std::string& sql, const Sql_Context& ctx, json& inst, Sql_Result& out, std::string& err) {
  std::vector<Token> tokens;
  if (!tokenize(sql, tokens, err)) return false;
  Parser p(std::move(tokens));
  out = Sql_Result();
  if (p.word("SELECT")) return parse_select(p, ctx, inst, out, err);
  if (p.word("SHUTDOWN")) {
    p.word("IMMEDIATE");
    if (!p.at_end()) {
      err = p.near();
      return false;
    }
    out.kind = Sql_Result::SHUTDOWN;
    return true;
  }
  if (p.word("CREATE")) {
    json copy = inst;
    bool ok = p.word("SCHEMA")       ? create_schema(p, copy, out, err)
              : p.word("TABLESPACE") ? create_tablespace(p, ctx, copy, out, err)
                                     : (err = p.near(), false);
    if (ok) inst = std::move(copy);
    return ok;
  }
  err = p.near();
  return false;
}

std::string format_result(const Sql_Result& r, bool extra_column) {
  std::vector<size_t> width;
  for (const std::string& c : r.columns) width.push_back(c.size());
  for (const auto& row : r.rows) {
    for (size_t i = 0; i < row.size() && i < width.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string s;
    for (size_t i = 0; i < cells.size(); ++i) {
      if (i) s += " |";
      std::string cell = cells[i];
      if (i < width.size()) cell.resize(std::max(cell.size(), width[i]), ' ');
      s += " " + cell;
    }
    size_t e = s.find_last_not_of(' ');
    return (e == std::string::npos ? std::string(" ") : s.substr(0, e + 1)) + "\n";
  };
  std::string out = line(r.columns);
  for (size_t i = 0; i < width.size(); ++i) out += (i ? "+" : "") + std::string(width[i] + 2, '-');
  out += "\n";
  for (const auto& row : r.rows) {
    std::vector<std::string> cells = row;
    if (extra_column) cells.push_back("?");
    out += line(cells);
  }
  out += "(" + std::to_string(r.rows.size()) + (r.rows.size() == 1 ? " row)\n" : " rows)\n");
  return out;
}

}  // namespace sim
