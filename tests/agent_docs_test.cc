// What is installed beside oscar-agent: its manual page names every command
// the program has and no other, and its bash completion offers the
// program's own command words, options and registered names.

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/sim_home.h"
#include "tests/support/test_paths.h"

namespace {

const std::string AGENT = OSCAR_BUILD_DIR "/agent/oscar-agent";
const std::string COMPLETION = OSCAR_SOURCE_DIR "/doc/oscar-agent.bash-completion";

// The sub-commands the help of `words` lists.
std::vector<std::string> subcommands(std::vector<std::string> words) {
  words.insert(words.begin(), AGENT);
  words.push_back("--help");
  const Run_Result r = run_program(words, {}, 30000);
  EXPECT_EQ(0, r.status) << r.err;
  std::vector<std::string> names;
  std::istringstream in(r.out);
  bool listing = false;
  for (std::string line; std::getline(in, line);) {
    if (line == "Subcommands:") {
      listing = true;
    } else if (listing && line.size() > 2 && line[0] == ' ') {
      names.push_back(line.substr(2, line.find(' ', 2) - 2));
    } else {
      listing = false;
    }
  }
  return names;
}

// Every command of the program as its words ("backup", "pool add").
std::set<std::string> program_commands() {
  std::set<std::string> commands;
  for (const std::string& top : subcommands({})) {
    const std::vector<std::string> subs = subcommands({top});
    // A command with further ones ("catalog", "catalog rebuild") is one itself.
    const bool runs_alone =
        run_program({AGENT, top, "--help"}, {}, 30000).out.find("[SUBCOMMAND]") != std::string::npos;
    if (subs.empty() || runs_alone) commands.insert(top);
    for (const std::string& sub : subs) commands.insert(top + " " + sub);
  }
  return commands;
}

// What bash completes for the words of `line` (the last one being
// completed), with the completion script loaded.
std::string complete(const std::string& line) {
  const std::string script = "source " + COMPLETION + "\nCOMP_WORDS=(" + line +
                             ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                             "[[ \"" +
                             line +
                             "\" == *' ' ]] && { COMP_WORDS+=(''); COMP_CWORD=$((COMP_CWORD + 1)); }\n"
                             "_oscar_agent\necho \"${COMPREPLY[*]}\"\n";
  const Run_Result r = run_program({"/bin/bash", "-c", script}, {}, 60000);
  EXPECT_EQ(0, r.status) << r.err;
  return r.out.substr(0, r.out.find('\n'));
}

TEST(AgentDocs, TheManualPageDescribesEveryCommandAndNoOther) {
  const std::set<std::string> commands = program_commands();
  ASSERT_GT(commands.size(), 8u);
  std::set<std::string> described;
  const std::regex heading("^\\.SS \"([a-z]+( [a-z]+)?)( [A-Z\\[\\\\].*)?\"$");
  std::istringstream page(read_file(OSCAR_SOURCE_DIR "/doc/oscar-agent.1"));
  for (std::string line; std::getline(page, line);) {
    std::smatch m;
    if (std::regex_match(line, m, heading)) described.insert(m[1]);
  }
  EXPECT_EQ(commands, described);
}

// Every command's help says what each of its words is and names no default
// for a required option; --version names the module's build.
TEST(AgentDocs, EveryCommandsHelpDescribesItsWordsAndNoRequiredOptionHasADefault) {
  const std::regex required_with_default("REQUIRED[^\n]*default");
  for (const std::string& command : program_commands()) {
    std::vector<std::string> args = {AGENT};
    std::istringstream words(command);
    for (std::string w; words >> w;) args.push_back(w);
    args.push_back("--help");
    const std::string help = run_program(args, {}, 30000).out;
    EXPECT_FALSE(std::regex_search(help, required_with_default)) << help;
    EXPECT_EQ(std::string::npos, help.find("REQUIRED  NAME")) << help;
    const std::size_t positionals = help.find("Positionals:\n");
    if (positionals == std::string::npos) continue;
    const std::string first = help.substr(positionals + 13, help.find('\n', positionals + 13) - positionals - 13);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(first, m, std::regex(" +([A-Z.\\[\\] ]+?)  +(.+)"))) << command << ": " << first;
    EXPECT_NE(m[1].str(), m[2].str()) << command << ": the words are described, not repeated";
  }
  const Run_Result version = run_program({AGENT, "--version"}, {}, 30000);
  EXPECT_EQ(0, version.status);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("oscar-agent [0-9]+\\.[0-9]+\\.[0-9]+\nmodule "
                                                       ".*liboscar\\.so \\(build [0-9a-f]{40}\\)\n")))
      << version.out;
}

TEST(AgentDocs, CompletionOffersTheProgramsWordsOptionsAndRegisteredNames) {
  const std::string agent = AGENT;
  EXPECT_EQ("backup", complete(agent + " bac"));
  const std::string pool_words = complete(agent + " pool ");
  EXPECT_NE(std::string::npos, pool_words.find("add")) << pool_words;
  EXPECT_EQ(std::string::npos, pool_words.find("backup")) << pool_words;
  EXPECT_EQ("--type", complete(agent + " backup DB1 --ty"));
  EXPECT_EQ("full incr diff", complete(agent + " backup DB1 --type "));
  EXPECT_EQ("--no-verify", complete(agent + " restore DB1 --no"));

  Temp_Dir tmp;
  ASSERT_TRUE(write_file(tmp / "pools.json", R"({"pools":[{"name":"nightly","url":"file:///x"}]})"));
  ASSERT_TRUE(write_file(tmp / "instances.json", R"({"instances":[{"name":"DB1"},{"name":"DB2"}]})"));
  EXPECT_EQ("nightly", complete(agent + " backup DB1 --state " + tmp.path() + " --pool "));
  EXPECT_EQ("DB1 DB2", complete(agent + " restore --state " + tmp.path() + " D"));
}

}  // namespace
