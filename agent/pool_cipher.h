#ifndef AGENT_POOL_CIPHER_H
#define AGENT_POOL_CIPHER_H

#include <string>

#include "agent/arguments.h"
#include "host/storage/pool_info.h"

// The options of `pool add` that set a pool's stored form, put into its
// record: --cipher aes-256-gcm with --cipher-key-file FILE (the key: 64
// hexadecimal digits, as `openssl rand -hex 32` writes them, in a file of
// the user's own that no one else may access) set the pool's cipher and key; --zstd-workers N sets
// the zstd threads of its writes (an extra attribute the storage client
// takes as an option). False with err (one line, never quoting the key)
// when an option is wrong, the key file is missing, open to other users
// or of another form; info may then hold part of the settings. Main thread.
bool set_pool_codec_options(const Command_Line& line, Pool_Info& info, std::string& err);

#endif
