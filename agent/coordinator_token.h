#ifndef AGENT_COORDINATOR_TOKEN_H
#define AGENT_COORDINATOR_TOKEN_H

#include <string>

// The token the coordinator and its nodes share. Neither function throws;
// both are safe from any thread.

// Reads the token from `path`: a file of this user that its group and
// others cannot read (as key files), holding one line of at most 1024
// printable characters without blanks. False with `why` one line (naming
// the file, never its content).
bool read_token_file(const std::string& path, std::string& token, std::string& why);

// Whether `given` is `expected`, in a time that tells nothing about where
// they differ or how long `expected` is (their digests are compared).
bool same_token(const std::string& given, const std::string& expected);

#endif
