// oscar-agent coordinator: the long-running service that tells the nodes of
// a cluster which of them runs each job (see Coordinator_Rounds for the
// choice, Coordinator_Service for the HTTP layer).

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "agent/commands.h"
#include "agent/coordinator_protocol.h"
#include "agent/coordinator_rounds.h"
#include "agent/coordinator_service.h"
#include "agent/coordinator_token.h"
#include "host/base/fs_util.h"

namespace {

const int DEFAULT_ROUND_SECONDS = 30;
const int MAX_ROUND_SECONDS = 3600;
const char* const DECISIONS_FILE = "coordinator.json";

// HOST:PORT, where HOST may be a bracketed IPv6 address ("[::1]:7443").
bool parse_listen(const std::string& text, std::string& host, int& port, std::string& why) {
  const std::size_t colon = text.rfind(':');
  why = "--listen must be HOST:PORT with a port from 1 to 65535, not \"" + text + "\"";
  if (colon == std::string::npos || colon == 0) return false;
  host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  port = std::atoi(digits.c_str());
  return port >= 1 && port <= 65535;
}

bool parse_round(const std::string& text, int& seconds, std::string& why) {
  seconds = DEFAULT_ROUND_SECONDS;
  if (text.empty()) return true;
  const bool digits = text.size() <= 4 && text.find_first_not_of("0123456789") == std::string::npos;
  seconds = digits ? std::atoi(text.c_str()) : 0;
  if (seconds >= 1 && seconds <= MAX_ROUND_SECONDS) return true;
  why = "--round must be 1 to " + std::to_string(MAX_ROUND_SECONDS) + " seconds, not \"" + text + "\"";
  return false;
}

// The TLS key is a secret like the token: this user's alone.
bool check_tls_key(const std::string& path, std::string& why) {
  const int fd = open_cloexec(path.c_str(), O_RDONLY);
  if (fd < 0) {
    why = "cannot open the TLS key file " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = check_private_file(fd, path, "the TLS key file", why) == 0;
  ::close(fd);
  return ok;
}

// The last decisions of an earlier run, from DIR/coordinator.json (none
// when it does not exist yet); from here on they are saved there whenever
// a round is decided.
bool keep_decisions(const std::string& dir, Coordinator_Rounds& rounds, std::string& why) {
  if (make_private_dir(dir, why) != 0) return false;
  const std::string file = dir + "/" + DECISIONS_FILE;
  const int fd = open_cloexec(file.c_str(), O_RDONLY);
  if (fd < 0 && errno != ENOENT) {
    why = "cannot open " + file + ": " + std::strerror(errno);
    return false;
  }
  if (fd >= 0) {
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    std::vector<Decision_Record> records;
    const nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    if (value.is_discarded() || !value.is_object() || !value.contains("decisions") ||
        !decisions_from_json(value["decisions"], records, why)) {
      why = file + " is damaged" + (why.empty() ? std::string() : ": " + why) + " (move it away to start afresh)";
      return false;
    }
    rounds.restore(records);
  }
  rounds.on_decision([file](const std::vector<Decision_Record>& records) {
    nlohmann::json list = nlohmann::json::array();
    for (const Decision_Record& record : records) list.push_back(decision_json(record));
    const std::string text = nlohmann::json{{"decisions", list}}.dump(1) + "\n";
    if (write_file_atomic(file, text.data(), text.size()) != 0)
      std::fprintf(stderr, "oscar-agent coordinator: cannot save the decisions in %s: %s\n", file.c_str(),
                   std::strerror(errno));
  });
  return true;
}

// Serves until SIGTERM or SIGINT (taken by sigwait, so that no handler
// runs in a server thread); false when the listener failed by itself.
bool serve_until_signal(Coordinator_Service& service) {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  bool served = true;
  std::atomic<bool> stopping{false};
  std::thread listener([&] {
    served = service.serve();
    // The listener ended without being stopped: wake the wait below.
    if (!stopping) ::kill(::getpid(), SIGTERM);
  });
  int signal = 0;
  while (sigwait(&stops, &signal) != 0) {
  }
  stopping = true;
  std::fprintf(stderr, "oscar-agent coordinator: stopping (%s)\n", strsignal(signal));
  service.stop();
  listener.join();
  return served;
}

}  // namespace

int coordinator_command(const Command_Line& line) {
  std::string host, why, token;
  int port = 0, round_seconds = 0;
  const std::string cert = option_value(line, "tls-cert"), key = option_value(line, "tls-key");
  if (!parse_listen(option_value(line, "listen"), host, port, why) ||
      !parse_round(option_value(line, "round"), round_seconds, why))
    return fail(EXIT_USAGE, why);
  if (cert.empty() != key.empty()) return fail(EXIT_USAGE, "--tls-cert and --tls-key go together");
  if (!read_token_file(option_value(line, "token-file"), token, why)) return fail(EXIT_FAILED, why);
  if (!key.empty() && !check_tls_key(key, why)) return fail(EXIT_FAILED, why);
  Coordinator_Rounds rounds(round_seconds);
  const std::string state = option_value(line, "state");
  if (!state.empty() && !keep_decisions(state, rounds, why)) return fail(EXIT_FAILED, why);
  Coordinator_Service service(rounds, token, stderr);
  if (!service.open(host, port, cert, key, why)) return fail(EXIT_FAILED, why);
  std::fprintf(stderr, "oscar-agent coordinator: listening on %s:%d (%s), rounds of %d s\n", host.c_str(), port,
               cert.empty() ? "http" : "https", round_seconds);
  if (!serve_until_signal(service))
    return fail(EXIT_FAILED, "the listener on " + host + ":" + std::to_string(port) + " stopped by itself");
  return EXIT_OK;
}
