#ifndef AGENT_INSTANCE_REGISTRATION_H
#define AGENT_INSTANCE_REGISTRATION_H

#include <map>
#include <string>

#include "agent/arguments.h"
#include "agent/module.h"
#include "tollix/secure_allocator.h"

// The steps of registering a database instance with the agent, shared by
// every command that registers one (instance add, discover --register).
// Main thread; the state directory must be open where a step says so.

// Whether `name` may name an instance or pool of the registries: a letter
// or digit, then up to 63 letters, digits, "_", "." or "-".
bool valid_name(const std::string& name);

// Reads the password: the file's content without one trailing line end.
// Only secure memory holds it; the read buffer is wiped. False with err
// (never holding the password) when the file is missing, unreadable, empty,
// larger than 4 KiB, not the user's own or open to any other user.
bool read_password(const std::string& path, secure_string& password, std::string& err);

// Whether user and password may be registered: they pass the account rule
// that the module applies again before it puts them on a tool's command
// line (tollix/account_rule.h). False with err "the password holds a blank
// (user names and passwords may hold no ...)"; err never holds the password.
bool check_account(const std::string& user, const secure_string& password, std::string& err);

// Loads the module of --module PATH, else the default one.
bool load_module_option(const Command_Line& line, Oscar_Module& module, std::string& err);

// Tests the login through the module before an account is registered, so
// that a wrong password is found now and not by the first backup; a home
// whose programs others can change is refused first (home_trusted). False
// with err "NAME: home HOME refused: ..." or "the login of USER to instance
// NAME failed: WHY".
bool check_login(const Oscar_Module& module, const std::string& home, const std::string& name, const std::string& user,
                 const secure_string& password, std::string& err);

// Registers (or updates, keeping its uuid and other options) the instance
// `name` with home `home`, the options in `extra` and the default account
// user/password, in the host's registry in memory; the caller saves it.
// Answers whether the instance was registered before.
bool stage_instance(const std::string& name, const std::string& home, const std::map<std::string, std::string>& extra,
                    const std::string& user, const secure_string& password);

// The instance's start script as the machine's init system would hold it:
// /etc/init.d/oscardb_NAMEd under the agent's root. An installation keeps
// the script in its home's admin directory; the link makes it the one the
// module runs to start the instance again after a restore or a backup that
// stopped it. `linked` receives the link's path; it stays empty (and the
// answer is true) when there is no script in the home to link.
bool link_start_script(const std::string& home, const std::string& name, std::string& linked, std::string& err);

#endif
