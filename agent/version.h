#ifndef AGENT_VERSION_H
#define AGENT_VERSION_H

#include <string>

// What `oscar-agent --version` prints: the package's version on the first
// line, then the module the agent would load (its path and the GNU build id
// its linker stamped in, so that two builds of one version are told apart),
// or why it cannot be read. Reads the module's file only; never loads it.
std::string version_text();

// The GNU build id of the ELF file at `path` in hex. False with err when the
// file cannot be read, is no 64-bit ELF file or carries no build id.
bool elf_build_id(const std::string& path, std::string& id, std::string& err);

#endif
