// oscar-agent's command-line parser in process: what a command receives,
// and how a wrong line is refused.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "agent/arguments.h"

namespace {

int ran(const Command_Line&) { return 0; }

const std::vector<Agent_Command>& table() {
  static const std::vector<Agent_Command> commands = {
      {{"pool", "add"}, "NAME", 1, 1, {"state", "url"}, {"state", "url"}, {}, {}, "register a pool", ran},
      {{"pool", "list"}, "", 0, 0, {"state"}, {"state"}, {}, {"json"}, "list the pools", ran},
      {{"export"},
       "NAME",
       1,
       1,
       {"state", "entries", "pool", "compression", "level"},
       {"state", "entries"},
       {"entries"},
       {},
       "export",
       ran},
      {{"browse"},
       "NAME [DATABASE [SCHEMA]]",
       1,
       3,
       {"state", "module"},
       {"state", "module"},
       {},
       {"json"},
       "browse",
       ran,
       "NAME: an instance; DATABASE: show its schemas; SCHEMA: show its tables"},
  };
  return commands;
}

// Parses args against the table; what was printed goes to out and err.
struct Parse {
  explicit Parse(std::vector<std::string> args, const std::vector<Agent_Command>& commands = table()) {
    args.insert(args.begin(), "oscar-agent");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::FILE* o = std::tmpfile();
    std::FILE* e = std::tmpfile();
    result = parse_command_line(commands, static_cast<int>(argv.size()), argv.data(), o, e);
    out = text(o);
    err = text(e);
  }
  static std::string text(std::FILE* f) {
    std::string s;
    std::rewind(f);
    for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) s += static_cast<char>(c);
    std::fclose(f);
    return s;
  }
  Parsed_Command result;
  std::string out;
  std::string err;
};

TEST(AgentArguments, TheChosenCommandGetsItsWordsOptionsAndFlags) {
  Parse p({"browse", "DB1", "APP", "--json", "--state", "/s", "--module", "m"});
  ASSERT_NE(nullptr, p.result.command) << p.err;
  EXPECT_EQ("browse", p.result.command->path.back());
  EXPECT_EQ((std::vector<std::string>{"browse", "DB1", "APP"}), p.result.line.words);
  EXPECT_EQ("/s", option_value(p.result.line, "state"));
  EXPECT_EQ(1u, p.result.line.flags.count("json"));
  EXPECT_TRUE(p.err.empty());

  Parse group({"pool", "add", "p1", "--url=file:///x", "--state", "/s"});
  ASSERT_NE(nullptr, group.result.command) << group.err;
  EXPECT_EQ((std::vector<std::string>{"pool", "add", "p1"}), group.result.line.words);
  EXPECT_EQ("file:///x", option_value(group.result.line, "url"));
  EXPECT_TRUE(group.result.line.flags.empty());

  // The global options count before the command's words as after them;
  // --state is left to the caller's default when not given, and --config
  // is every command's.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--state", "/s", "--json", "--config", "/c.conf", "pool", "list"},
                                             {"--json", "--state=/s", "pool", "list", "--config=/c.conf"},
                                             {"pool", "list", "--config", "/c.conf", "--state", "/s", "--json"}}) {
    Parse global(args);
    ASSERT_NE(nullptr, global.result.command) << global.err;
    EXPECT_EQ((std::vector<std::string>{"pool", "list"}), global.result.line.words);
    EXPECT_EQ("/s", option_value(global.result.line, "state"));
    EXPECT_EQ("/c.conf", option_value(global.result.line, "config"));
    EXPECT_EQ(1u, global.result.line.flags.count("json"));
  }
  Parse no_state({"pool", "add", "p1", "--url", "file:///x"});
  ASSERT_NE(nullptr, no_state.result.command) << no_state.err;
  EXPECT_EQ(0u, no_state.result.line.options.count("state"));
  // A global option before the words is still checked against the command.
  Parse refused({"--verbose", "pool", "list", "--state", "/s"});
  EXPECT_EQ(nullptr, refused.result.command);
  EXPECT_NE(std::string::npos, refused.err.find("unknown option --verbose")) << refused.err;
}

TEST(AgentArguments, ARepeatableOptionKeepsEveryValueInOrderAndTakesOneWordEachTime) {
  Parse p({"export", "DB1", "--entries", "DB1/APP", "--pool", "p1", "--entries", "DB1/OPS/LOG", "--state", "/s"});
  ASSERT_NE(nullptr, p.result.command) << p.err;
  EXPECT_EQ((std::vector<std::string>{"DB1/APP", "DB1/OPS/LOG"}), option_values(p.result.line, "entries"));
  EXPECT_EQ(std::vector<std::string>{"p1"}, option_values(p.result.line, "pool"));
  EXPECT_TRUE(option_values(p.result.line, "level").empty());

  Parse surplus({"export", "DB1", "--entries", "A", "B", "--state", "/s"});
  EXPECT_EQ(nullptr, surplus.result.command);
  EXPECT_NE(std::string::npos, surplus.err.find("unexpected argument \"B\"")) << surplus.err;
}

TEST(AgentArguments, WrongLinesAreUsageErrorsNamingTheProblem) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command \"frobnicate\""},
      {{"pool", "frob"}, "unknown command \"pool frob\""},
      {{"pool"}, "\"pool\" needs a further command word"},
      {{"pool", "add", "p1", "--url", "file:///x", "--state"}, "--state"},
      {{"pool", "add", "p1", "--url", "", "--state", "/s"}, "--url: needs a value"},
      {{"pool", "add", "p1", "--url", "file:///x", "--state", "/s", "--colour", "red"}, "unknown option --colour"},
      {{"pool", "add", "p1", "--url", "file:///x", "--state", "/s", "--colour=red"}, "unknown option --colour"},
      {{"pool", "add", "--url", "file:///x", "--state", "/s"}, "NAME is required"},
      {{"pool", "add", "p1", "p2", "--url", "file:///x", "--state", "/s"}, "unexpected argument \"p2\""},
      {{"pool", "add", "p1", "--url", "file:///a", "--url", "file:///b", "--state", "/s"}, "--url"},
      {{"pool", "list", "extra", "--state", "/s"}, "unexpected argument \"extra\""},
      {{"pool", "list", "--state", "/s", "--json=yes"}, "json was given a disallowed flag override"},
      {{"browse", "DB1", "A", "B", "C", "--state", "/s", "--module", "m"}, "unexpected argument \"C\""},
      // A slip is named as unknown with the option meant, even where the
      // option meant is required and so missing.
      {{"pool", "add", "p1", "--ur", "file:///x", "--state", "/s"}, "unknown option --ur (did you mean --url?)"},
      {{"pool", "list", "--state", "/s", "--jsno"}, "unknown option --jsno (did you mean --json?)"},
      {{"pool", "list", "--state", "/s", "--sta", "/t"}, "unknown option --sta (did you mean --state?)"},
      {{"pool", "list", "--state", "/s", "--colour"}, "unknown option --colour (see oscar-agent pool list --help)"},
      {{"export", "DB1", "--entries", "E", "--state", "/s", "--level", "5"}, "--level requires --compression"},
      {{"browse", "DB1", "--state", "/s"}, "--module is required (see oscar-agent browse --help)"},
  };
  for (const auto& c : cases) {
    Parse p(c.args);
    EXPECT_EQ(nullptr, p.result.command) << c.message;
    EXPECT_EQ(2, p.result.exit_status) << c.message;
    EXPECT_EQ(0u, p.err.find("oscar-agent: ")) << p.err;
    EXPECT_NE(std::string::npos, p.err.find(c.message)) << p.err;
    EXPECT_TRUE(p.out.empty()) << p.out;
  }
}

TEST(AgentArguments, HelpAtEveryLevelGoesToStandardOutputAndExitsZero) {
  Parse top({"--help"});
  EXPECT_EQ(nullptr, top.result.command);
  EXPECT_EQ(0, top.result.exit_status);
  EXPECT_NE(std::string::npos, top.out.find("browse")) << top.out;
  EXPECT_NE(std::string::npos, top.out.find("pool")) << top.out;

  Parse leaf({"browse", "--help"});
  EXPECT_EQ(0, leaf.result.exit_status);
  EXPECT_NE(std::string::npos, leaf.out.find("browse [OPTIONS] NAME [DATABASE [SCHEMA]]")) << leaf.out;
  EXPECT_NE(std::string::npos, leaf.out.find("--state DIR")) << leaf.out;
  // Each word described, and a required option's text names no default.
  EXPECT_NE(std::string::npos,
            leaf.out.find("  NAME [DATABASE [SCHEMA]]    NAME: an instance; DATABASE: show its schemas"))
      << leaf.out;
  EXPECT_EQ(std::string::npos, leaf.out.find("REQUIRED  NAME")) << leaf.out;
  EXPECT_NE(std::string::npos, leaf.out.find("the database module to load\n")) << leaf.out;
  EXPECT_TRUE(leaf.err.empty());

  Parse group({"pool", "--help"});
  EXPECT_EQ(0, group.result.exit_status);
  EXPECT_NE(std::string::npos, group.out.find("list")) << group.out;
}

TEST(AgentArguments, VersionBeforeAnyCommandPrintsWhatTheAgentAnswersAndExitsZero) {
  const std::vector<std::string> args = {"oscar-agent", "--version"};
  const char* argv[] = {args[0].c_str(), args[1].c_str()};
  std::FILE* o = std::tmpfile();
  std::FILE* e = std::tmpfile();
  const Parsed_Command result =
      parse_command_line(table(), 2, argv, o, e, [] { return std::string("oscar-agent 9.9\nmodule m (build 00)\n"); });
  EXPECT_EQ(nullptr, result.command);
  EXPECT_EQ(0, result.exit_status);
  EXPECT_EQ("oscar-agent 9.9\nmodule m (build 00)\n", Parse::text(o));
  EXPECT_EQ("", Parse::text(e));
}

TEST(AgentArguments, ACommandNamingAnUndocumentedOptionRefusesEveryLine) {
  const std::vector<Agent_Command> broken = {
      {{"backup"}, "NAME", 1, 1, {"state", "colour"}, {"state"}, {}, {}, "back up", ran}};
  Parse p({"backup", "DB1", "--state", "/s"}, broken);
  EXPECT_EQ(nullptr, p.result.command);
  EXPECT_EQ(2, p.result.exit_status);
  EXPECT_NE(std::string::npos, p.err.find("backup")) << p.err;
  EXPECT_EQ(nullptr, option_help("colour"));
  ASSERT_NE(nullptr, option_help("state"));
}

}  // namespace
