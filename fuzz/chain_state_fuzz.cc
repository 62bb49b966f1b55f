// Feeds arbitrary bytes to the chain state reader as the content of an
// instance's HOME/agent/lastlsn.dat. A read must end without a crash or
// leak, and a read that succeeds must hold what success promises: both ids
// set and none of the four numbers 0.
#include <ace/Log_Msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "oscar/last_backup_info.h"

namespace {

// A home of the fuzzer's own, made once per process.
const std::string& fuzz_home() {
  static const std::string home = [] {
    char dir[] = "/tmp/oscar-fuzz-chain-XXXXXX";
    if (::mkdtemp(dir) == nullptr) std::abort();
    const std::string h = dir;
    if (::mkdir((h + "/agent").c_str(), 0700) != 0) std::abort();
    return h;
  }();
  return home;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ACE_LOG_MSG->clr_flags(ACE_Log_Msg::STDERR);
  const std::string path = oscar::chain_state_path(fuzz_home());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  oscar::Last_Backup_Info info;
  if (oscar::read_last_backup_info(fuzz_home(), "DB1", info, true)) {
    if (info.last_full_backup_id.empty() || info.last_backup_id.empty()) std::abort();
    if (info.last_full_backup_lsn == 0 || info.last_full_backup_scn == 0 || info.last_backup_lsn == 0 ||
        info.last_backup_scn == 0)
      std::abort();
  }
  return 0;
}
