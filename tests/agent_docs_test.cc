// What is installed beside oscar-agent: its manual page names every command
// the program has and no other, and its bash completion offers the
// program's own command words, options and registered names.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/catalog/catalog_operator.h"
#include "tests/support/backup_sets.h"
#include "tests/support/sandbox.h"
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
// completed, `after` the words behind the cursor), with the completion
// script loaded.
std::string complete(const std::string& line, const std::string& after = "",
                     const std::vector<std::string>& env = {"OSCAR_AGENT_STATE=/nonexistent"}) {
  const std::string script = "source " + COMPLETION + "\nCOMP_WORDS=(" + line +
                             ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                             "[[ \"" +
                             line +
                             "\" == *' ' ]] && { COMP_WORDS+=(''); COMP_CWORD=$((COMP_CWORD + 1)); }\n"
                             "COMP_WORDS+=(" +
                             after + ")\n_oscar_agent\necho \"${COMPREPLY[*]}\"\n";
  const Run_Result r = run_program({"/bin/bash", "-c", script}, env, 60000);
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
  // The exit statuses scripts rely on, the same in the help and the page.
  const std::string help = run_program({AGENT, "--help"}, {}, 30000).out;
  const std::string text = read_file(OSCAR_SOURCE_DIR "/doc/oscar-agent.1");
  const std::size_t from = text.find(".SH EXIT STATUS");
  const std::string statuses = text.substr(from, text.find(".SH ENVIRONMENT") - from);
  for (const std::pair<const char*, const char*>& s : std::vector<std::pair<const char*, const char*>>{
           {"0 done", ".B 0\nDone"},
           {"1 failed", ".B 1\nThe work failed"},
           {"2 the command line or the configuration file is wrong", ".B 2\nThe command line or the configuration"},
           {"128+N stopped by signal N (130 Ctrl-C, 143 SIGTERM)", "(130 for Ctrl-C, 143 for SIGTERM)"}}) {
    EXPECT_NE(std::string::npos, help.find(s.first)) << help;
    EXPECT_NE(std::string::npos, statuses.find(s.second)) << statuses;
  }
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
    ASSERT_TRUE(std::regex_match(first, m, std::regex(" +([A-Z_.:\\[\\] ]+?)  +(.+)"))) << command << ": " << first;
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
  // --state counts wherever it stands; a pool command's word is a pool.
  EXPECT_EQ("DB1 DB2", complete(agent + " restore D", "--state " + tmp.path()));
  EXPECT_EQ("nightly", complete(agent + " backup DB1 --pool ", "--state=" + tmp.path()));
  EXPECT_EQ("nightly", complete(agent + " pool set ", "--state " + tmp.path()));
  // Global options before the command's words; without --state, the
  // agent's own default.
  EXPECT_EQ("DB1 DB2", complete(agent + " --state " + tmp.path() + " --json restore D"));
  EXPECT_EQ("nightly", complete(agent + " --config x.conf pool set ", "", {"OSCAR_AGENT_STATE=" + tmp.path()}));
  // Key and password files are file names; a value to type is not completed.
  ASSERT_TRUE(write_file(tmp / "pool.key", "k"));
  for (const char* option : {"--cipher-key-file", "--key-file", "--password-file"})
    EXPECT_EQ(tmp / "pool.key",
              complete(agent + " pool add p --state " + tmp.path() + " " + option + " " + tmp / "pool."));
  for (const char* option : {"--token-file", "--tls-cert", "--tls-key"})
    EXPECT_EQ(tmp / "pool.key", complete(agent + " coordinator " + option + " " + tmp / "pool."));
  EXPECT_EQ("", complete(agent + " restore DB1 --state " + tmp.path() + " --timeout "));
}

// --point offers the backup ids of the instance named on the line, from the
// catalogue; catalog remove offers every one.
TEST(AgentDocs, CompletionOffersBackupIdsForPoint) {
  Test_Sandbox sandbox;
  const std::string agent = AGENT;
  ASSERT_TRUE(write_private_file(sandbox / "pw", "pw"));
  ASSERT_EQ(0, mkdir((sandbox / "home").c_str(), 0700));
  for (const char* name : {"DB1", "DB2"})
    ASSERT_EQ(0, run_program({AGENT, "instance", "add", name, "--home", sandbox / "home", "--user", "u",
                              "--password-file", sandbox / "pw", "--no-check", "--state", sandbox.state_dir()},
                             {}, 30000)
                     .status);
  ASSERT_TRUE(register_file_pool("p", sandbox / "pool"));
  const nlohmann::json registry = nlohmann::json::parse(read_file(sandbox.state_file("instances.json")));
  for (const nlohmann::json& inst : registry["instances"]) {
    for (const std::string id : {"1", "2"}) {
      Oscar_Brcmd_Backup_Set set =
          full_backup_set(inst["name"].get<std::string>() + "-" + id, Backup_Set_Storage("p", 1));
      set.resource_uuid(inst["uuid"]);
      ASSERT_TRUE(Catalog_Operator(-1, 5).commit(set));
    }
  }
  const std::string state = " --state " + sandbox.state_dir();
  EXPECT_EQ("DB1-1 DB1-2", complete(agent + " restore DB1" + state + " --point "));
  EXPECT_EQ("DB2-2", complete(agent + " import DB2 --point DB2-2", state));
  EXPECT_EQ("DB1-1 DB1-2 DB2-1 DB2-2", complete(agent + " catalog remove" + state + " "));
}

// One command of the README's "Using the agent" and whether its shown
// output is an error.
struct Readme_Command {
  std::string text;
  bool fails = false;
};

// The commands of "Using the agent" and of "Scheduling and monitoring",
// which goes on from it, continuation lines joined.
std::vector<Readme_Command> readme_commands() {
  std::istringstream in(read_file(OSCAR_SOURCE_DIR "/README.md"));
  std::vector<Readme_Command> out;
  bool inside = false, continued = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("## ", 0) == 0) inside = line == "## Using the agent" || line == "## Scheduling and monitoring";
    if (!inside) continue;
    if (continued) {
      out.back().text += " " + line.substr(line.find_first_not_of(' '));
    } else if (line.rfind("    $ ", 0) == 0) {
      out.push_back({line.substr(6)});
    } else if (!out.empty() && line.rfind("    oscar-agent: ", 0) == 0) {
      out.back().fails = true;
    }
    continued = !line.empty() && line.back() == '\\';
    if (continued) out.back().text.pop_back();
  }
  return out;
}

// "Using the agent" runs as written on this machine, from the top of the
// source tree: each command succeeds, or fails where the README shows an
// error. The S3 pool, which needs a service, is left out; the build's
// directory, a free port and the export's id are put in.
TEST(AgentDocs, UsingTheAgentRunsAsWritten) {
  const std::vector<Readme_Command> commands = readme_commands();
  ASSERT_GT(commands.size(), 20u);
  Temp_Dir tmp;
  const std::string port = std::to_string(20000 + ::getpid() % 20000);
  std::string script = "cd " + std::string(OSCAR_SOURCE_DIR) + "\n";
  std::vector<const Readme_Command*> run;
  for (const Readme_Command& c : commands) {
    if (c.text.find("s3") != std::string::npos || c.text.find("offsite") != std::string::npos ||
        c.text.find("pool.key") != std::string::npos)
      continue;
    std::string text = c.text;
    for (const auto& swap : std::vector<std::pair<std::string, std::string>>{
             {"$PWD/build", OSCAR_BUILD_DIR},
             {"24101", port},
             {"EXPORT_ID", "\"$(grep -o 'export id [0-9a-f]*' " + tmp / "out" + " | tail -1 | cut -d' ' -f3)\""}}) {
      for (std::size_t at; (at = text.find(swap.first)) != std::string::npos;)
        text.replace(at, swap.first.size(), swap.second);
    }
    script += text + " >>" + tmp / "out" + " 2>&1 </dev/null; echo $? >>" + tmp / "status\n";
    run.push_back(&c);
  }
  const Run_Result r = run_program({"/bin/bash", "-c", script}, {"TMPDIR=" + tmp.path()}, 300000);
  // The server is stopped whatever became of the commands.
  run_program(
      {"/bin/bash", "-c",
       "for h in " + tmp.path() + "/*/db1; do " + OSCAR_BUILD_DIR + "/sim/oscar-sim stop $h --instance DB1; done"},
      {}, 60000);
  EXPECT_FALSE(r.timed_out);
  std::istringstream statuses(read_file(tmp / "status"));
  std::size_t i = 0;
  for (std::string status; std::getline(statuses, status) && i < run.size(); ++i)
    EXPECT_EQ(run[i]->fails, status != "0") << run[i]->text << " exited " << status << "\n" << read_file(tmp / "out");
  EXPECT_EQ(run.size(), i) << read_file(tmp / "out") << r.err;
}

}  // namespace
