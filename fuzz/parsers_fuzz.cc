// Feeds arbitrary bytes to the four job-document parsers. The first byte
// picks the parser, the rest is the document. A parse must end (true or
// false) without a crash or leak; a document that parses must generate, and
// when that output parses again it must generate the same text.
#include <ace/Log_Msg.h>
#include <yajl/yajl_gen.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "oscar/backup_job_options_parser.h"
#include "oscar/backup_job_source_parser.h"
#include "oscar/restore_job_options_parser.h"
#include "oscar/restore_job_source_parser.h"

namespace {

template <typename T>
bool generate(const ACE_Refcounted_Auto_Ptr<T, ACE_Thread_Mutex>& doc, std::string& out) {
  yajl_gen gen = yajl_gen_alloc(nullptr);
  bool ok = doc.get() != nullptr && doc->generate(gen) == 0;
  const unsigned char* buf = nullptr;
  size_t len = 0;
  ok = ok && yajl_gen_get_buf(gen, &buf, &len) == yajl_gen_status_ok;
  if (ok) out.assign(reinterpret_cast<const char*>(buf), len);
  yajl_gen_free(gen);
  return ok;
}

template <typename Parser>
void check(const char* text, std::size_t len) {
  Parser first;
  if (!first.parse(text, len)) return;
  std::string once;
  if (!generate(first.result(), once)) std::abort();
  Parser again;
  if (!again.parse(once.data(), once.size())) return;
  std::string twice;
  if (!generate(again.result(), twice) || twice != once) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The parsers log missing keys; keep the fuzzer's output quiet.
  ACE_Log_Msg::instance()->clr_flags(ACE_Log_Msg::STDERR);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const std::size_t len = size - 1;
  switch (data[0] % 4) {
    case 0: check<oscar::Backup_Job_Options_Parser>(text, len); break;
    case 1: check<oscar::Backup_Job_Source_Parser>(text, len); break;
    case 2: check<oscar::Restore_Job_Options_Parser>(text, len); break;
    default: check<oscar::Restore_Job_Source_Parser>(text, len); break;
  }
  return 0;
}
