#include "host/fileset/mtf.h"

#include <ace/Log_Msg.h>

namespace MTF {

std::string mtf_name(const std::string& definition_uuid, unsigned int seq, unsigned int part) {
  return definition_uuid + "_" + std::to_string(seq) + "_" + std::to_string(part) + ".mtf";
}

std::string cat_name(const std::string& definition_uuid, unsigned int seq, unsigned int part) {
  return definition_uuid + "_" + std::to_string(seq) + "_" + std::to_string(part) + ".cat";
}

Metadata::Metadata() : metadata_(nlohmann::json::object()) {}

Metadata::~Metadata() {}

bool Metadata::get_text(const char* key, std::string& out) const {
  if (!metadata_.is_object()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l metadata is not an object\n")));
    return false;
  }
  const auto it = metadata_.find(key);
  if (it == metadata_.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

bool Metadata::get_number(const char* key, unsigned long long& out) const {
  if (!metadata_.is_object()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l metadata is not an object\n")));
    return false;
  }
  const auto it = metadata_.find(key);
  if (it == metadata_.end() || !it->is_number_unsigned()) return false;
  out = it->get<unsigned long long>();
  return true;
}

bool Metadata::set_value(const char* key, const nlohmann::json& v) {
  if (!metadata_.is_object()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l metadata is not an object\n")));
    return false;
  }
  metadata_[key] = v;
  return true;
}

bool Metadata::get_uuid(std::string& out) const { return get_text("uuid", out); }
bool Metadata::set_uuid(const std::string& v) { return set_value("uuid", v); }
bool Metadata::get_pool_uuid(std::string& out) const { return get_text("pool_uuid", out); }
bool Metadata::set_pool_uuid(const std::string& v) { return set_value("pool_uuid", v); }
bool Metadata::get_host_uuid(std::string& out) const { return get_text("host_uuid", out); }
bool Metadata::set_host_uuid(const std::string& v) { return set_value("host_uuid", v); }
bool Metadata::get_definition_uuid(std::string& out) const { return get_text("definition_uuid", out); }
bool Metadata::set_definition_uuid(const std::string& v) { return set_value("definition_uuid", v); }
bool Metadata::get_resource_uuid(std::string& out) const { return get_text("resource_uuid", out); }
bool Metadata::set_resource_uuid(const std::string& v) { return set_value("resource_uuid", v); }
bool Metadata::get_uri(std::string& out) const { return get_text("uri", out); }
bool Metadata::set_uri(const std::string& v) { return set_value("uri", v); }
bool Metadata::get_start_time(std::string& out) const { return get_text("start_time", out); }
bool Metadata::set_start_time(const std::string& v) { return set_value("start_time", v); }
bool Metadata::get_name(std::string& out) const { return get_text("name", out); }
bool Metadata::set_name(const std::string& v) { return set_value("name", v); }
bool Metadata::get_host(std::string& out) const { return get_text("host", out); }
bool Metadata::set_host(const std::string& v) { return set_value("host", v); }
bool Metadata::get_agent(std::string& out) const { return get_text("agent", out); }
bool Metadata::set_agent(const std::string& v) { return set_value("agent", v); }
bool Metadata::get_type(std::string& out) const { return get_text("type", out); }
bool Metadata::set_type(const std::string& v) { return set_value("type", v); }
bool Metadata::get_subtype(std::string& out) const { return get_text("subtype", out); }
bool Metadata::set_subtype(const std::string& v) { return set_value("subtype", v); }
bool Metadata::get_uid(std::string& out) const { return get_text("uid", out); }
bool Metadata::set_uid(const std::string& v) { return set_value("uid", v); }

bool Metadata::get_seq(unsigned int& out) const {
  unsigned long long v = 0;
  if (!get_number("seq", v) || v > 0xffffffffULL) return false;
  out = static_cast<unsigned int>(v);
  return true;
}
bool Metadata::set_seq(unsigned int v) { return set_value("seq", v); }

bool Metadata::get_backup_set_size(unsigned long long& out) const { return get_number("backup_set_size", out); }
bool Metadata::set_backup_set_size(unsigned long long v) { return set_value("backup_set_size", v); }
bool Metadata::get_backup_set_storage_size(unsigned long long& out) const {
  return get_number("backup_set_storage_size", out);
}
bool Metadata::set_backup_set_storage_size(unsigned long long v) { return set_value("backup_set_storage_size", v); }

int Event_Handler::notify_event(int, const char*) { return 0; }

int Event_Handler::handle_progress(int, unsigned long, unsigned long, unsigned long) { return 0; }

bool Event_Handler::canceling() { return false; }

}  // namespace MTF

MTF::Compression compression_to_mtf(int compression_method) {
  switch (compression_method) {
    case COMPR_AUTO:
    case COMPR_ZSTD: return MTF::COMPRESSION_ZSTD;
    case COMPR_LZOP: return MTF::COMPRESSION_LZO;
    default: return MTF::COMPRESSION_NONE;
  }
}

int mtf_to_compression(MTF::Compression compression) {
  switch (compression) {
    case MTF::COMPRESSION_ZSTD: return COMPR_ZSTD;
    case MTF::COMPRESSION_LZO: return COMPR_LZOP;
    default: return COMPR_NONE;
  }
}
