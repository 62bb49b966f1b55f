#include "host/jobs/job_definition_loader.h"

#include <fstream>
#include <limits>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <vector>

#include "host/base/yajl_parser.h"
#include "host/jobs/job_def_names.h"

namespace {

const std::streamoff MAX_FILE_SIZE = 16 * 1024 * 1024;
const int MAX_DEPTH = 64;

// True when no object or array of the text nests deeper than MAX_DEPTH.
// Checked before parsing, because writing a document back out (for the
// module's parser) recurses once per level.
bool nesting_within_limit(const std::string& text) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > MAX_DEPTH) return false;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return true;
}

// Parses text into doc, refusing an object that names a member twice (the
// JSON reader would otherwise keep one of them silently): duplicate then
// holds the key and doc is discarded.
void parse_refusing_duplicates(const std::string& text, nlohmann::json& doc, bool& found, std::string& duplicate) {
  using event = nlohmann::json::parse_event_t;
  std::vector<std::set<std::string>> open_objects;
  found = false;
  doc = nlohmann::json::parse(
      text,
      [&](int, event e, nlohmann::json& parsed) {
        if (e == event::object_start) {
          open_objects.emplace_back();
        } else if (e == event::object_end) {
          if (!open_objects.empty()) open_objects.pop_back();
        } else if (e == event::key && !open_objects.empty()) {
          const std::string key = parsed.get<std::string>();
          if (!open_objects.back().insert(key).second) {
            found = true;
            duplicate = key;
          }
        }
        return true;
      },
      false);
}

bool set_error(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

// Parses one embedded document with a parser of `creator` into `result`.
template <typename T>
bool parse_document(const char* what, const nlohmann::json& doc, Object_Creator_T<YAJL_Handler>* creator,
                    ACE_Refcounted_Auto_Ptr<T, ACE_Thread_Mutex>& result, std::string* error) {
  if (!doc.is_object()) return set_error(error, std::string("\"") + what + "\" must be an object");
  if (creator == nullptr) return set_error(error, std::string("no parser for \"") + what + "\"");
  YAJL_Handler* handler = creator->create();
  if (handler == nullptr) return set_error(error, std::string("cannot make a parser for \"") + what + "\"");
  const std::string text = doc.dump();
  std::string parse_error;
  const bool parsed = handler->parse(text.data(), text.size(), &parse_error);
  YAJL_Parser<T>* parser = static_cast<YAJL_Parser<T>*>(handler);
  const int code = parser->error_code();
  if (parsed) result = parser->result();
  creator->destroy(handler);
  if (!parsed) {
    std::ostringstream msg;
    msg << "\"" << what << "\" is not a valid document (" << parse_error;
    if (code != 0) msg << ", code " << code;
    msg << ")";
    return set_error(error, msg.str());
  }
  if (result.null()) return set_error(error, std::string("the parser gave no \"") + what + "\"");
  return true;
}

bool get_text(const nlohmann::json& v, const std::string& key, std::string& out, std::string* error) {
  if (!v.is_string()) return set_error(error, "\"" + key + "\" must be a text");
  out = v.get<std::string>();
  return true;
}

bool get_flag(const nlohmann::json& v, const std::string& key, bool& out, std::string* error) {
  if (!v.is_boolean()) return set_error(error, "\"" + key + "\" must be true or false");
  out = v.get<bool>();
  return true;
}

bool get_count(const nlohmann::json& v, const std::string& key, unsigned long long max, unsigned long long& out,
               std::string* error) {
  if (!v.is_number_unsigned() || v.get<unsigned long long>() > max)
    return set_error(error, "\"" + key + "\" must be a non-negative integer of at most " + std::to_string(max));
  out = v.get<unsigned long long>();
  return true;
}

bool get_target(const nlohmann::json& v, Job_Target& target, std::string* error) {
  if (!v.is_object()) return set_error(error, "\"target\" must be an object");
  for (auto it = v.begin(); it != v.end(); ++it) {
    std::string text;
    if (!get_text(it.value(), "target." + it.key(), text, error)) return false;
    if (it.key() == "id")
      target.id(text);
    else if (it.key() == "device_id")
      target.device_id(text);
    else
      return set_error(error, "unknown key \"target." + it.key() + "\"");
  }
  return true;
}

bool get_limits(const nlohmann::json& v, Rate_Control_Entries& out, std::string* error) {
  if (!v.is_array()) return set_error(error, "\"max_rate_limits\" must be an array");
  for (const nlohmann::json& e : v) {
    if (!e.is_object() || e.size() != 1 || !e.contains("max_bytes_per_second"))
      return set_error(error, "each \"max_rate_limits\" entry must be {\"max_bytes_per_second\": N}");
    Rate_Control_Entry entry;
    if (!get_count(e["max_bytes_per_second"], "max_bytes_per_second", std::numeric_limits<unsigned long long>::max(),
                   entry.max_bytes_per_second, error))
      return false;
    out.push_back(entry);
  }
  return true;
}

bool fill(const nlohmann::json& doc, Object_Creator_T<YAJL_Handler>* source_parsers,
          Object_Creator_T<YAJL_Handler>* options_parsers, Job_Definition& def, std::string* error) {
  if (!doc.is_object()) return set_error(error, "a job definition must be a JSON object");
  if (!doc.contains("type")) return set_error(error, "\"type\" is missing");
  for (auto it = doc.begin(); it != doc.end(); ++it) {
    const std::string& key = it.key();
    const nlohmann::json& v = it.value();
    std::string text;
    bool flag = false;
    unsigned long long count = 0;
    if (key == "type") {
      Job_Definition_Type type;
      if (!get_text(v, key, text, error)) return false;
      if (!job_def_type_from_string(text, type)) return set_error(error, "unknown type \"" + text + "\"");
      def.type(type);
    } else if (key == "subtype") {
      Job_Definition_Subtype subtype;
      if (!get_text(v, key, text, error)) return false;
      if (!job_def_subtype_from_string(text, subtype)) return set_error(error, "unknown subtype \"" + text + "\"");
      def.subtype(subtype);
    } else if (key == "schedule") {
      if (!get_text(v, key, text, error)) return false;
      if (text == "ondemand")
        def.schedule(Job_Schedule::TYPE_ONDEMAND);
      else if (text == "none")
        def.schedule(Job_Schedule::TYPE_NONE);
      else
        return set_error(error, "unknown schedule \"" + text + "\"");
    } else if (key == "id" || key == "uid" || key == "name" || key == "host_id" || key == "agent" ||
               key == "rsrc_form" || key == "precondition" || key == "pre_action" || key == "post_action") {
      if (!get_text(v, key, text, error)) return false;
      if (key == "id")
        def.id(text);
      else if (key == "uid")
        def.uid(text);
      else if (key == "name")
        def.name(text);
      else if (key == "host_id")
        def.host_id(text);
      else if (key == "agent")
        def.agent(text);
      else if (key == "rsrc_form")
        def.rsrc_form(text);
      else if (key == "precondition")
        def.precondition(text);
      else if (key == "pre_action")
        def.pre_action(text);
      else
        def.post_action(text);
    } else if (key == "ignore_pre_action_failure" || key == "ignore_post_action_failure" ||
               key == "run_post_action_always" || key == "periodic") {
      if (!get_flag(v, key, flag, error)) return false;
      if (key == "ignore_pre_action_failure")
        def.ignore_pre_action_failure(flag);
      else if (key == "ignore_post_action_failure")
        def.ignore_post_action_failure(flag);
      else if (key == "run_post_action_always")
        def.run_post_action_always(flag);
      else
        def.periodic(flag);
    } else if (key == "max_seconds_retry") {
      if (!get_count(v, key, std::numeric_limits<unsigned int>::max(), count, error)) return false;
      def.max_seconds_retry(static_cast<unsigned int>(count));
    } else if (key == "resumption_buffer_size") {
      if (!get_count(v, key, std::numeric_limits<unsigned long long>::max(), count, error)) return false;
      def.resumption_buffer_size(count);
    } else if (key == "max_rate_limits") {
      Rate_Control_Entries limits;
      if (!get_limits(v, limits, error)) return false;
      def.max_rate_limits(limits);
    } else if (key == "target") {
      if (!get_target(v, def.target(), error)) return false;
    } else if (key == "source") {
      Job_Definition::Source_var source;
      if (!parse_document("source", v, source_parsers, source, error)) return false;
      def.source(source);
    } else if (key == "options") {
      Job_Definition::Options_var options;
      if (!parse_document("options", v, options_parsers, options, error)) return false;
      def.options(options);
    } else {
      return set_error(error, "unknown key \"" + key + "\"");
    }
  }
  return true;
}

}  // namespace

bool load_job_definition(const std::string& json_text, Object_Creator_T<YAJL_Handler>* source_parsers,
                         Object_Creator_T<YAJL_Handler>* options_parsers, Job_Definition_var& out, std::string* error) {
  if (!nesting_within_limit(json_text))
    return set_error(error, "the job definition nests deeper than " + std::to_string(MAX_DEPTH) + " levels");
  nlohmann::json doc;
  bool duplicated = false;
  std::string key;
  parse_refusing_duplicates(json_text, doc, duplicated, key);
  if (duplicated) return set_error(error, "the job definition names the key \"" + key + "\" twice in one object");
  if (doc.is_discarded()) return set_error(error, "the job definition is not valid JSON");
  std::unique_ptr<Job_Definition> def(new (std::nothrow) Job_Definition());
  if (!def) return set_error(error, "out of memory");
  if (!fill(doc, source_parsers, options_parsers, *def, error)) return false;
  out = Job_Definition_var(def.release());
  return true;
}

bool load_job_definition_file(const std::string& path, Object_Creator_T<YAJL_Handler>* source_parsers,
                              Object_Creator_T<YAJL_Handler>* options_parsers, Job_Definition_var& out,
                              std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return set_error(error, "cannot open " + path);
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0 || size > MAX_FILE_SIZE) return set_error(error, path + " is not a readable file of at most 16 MiB");
  in.seekg(0, std::ios::beg);
  std::string text(static_cast<std::size_t>(size), '\0');
  if (size > 0 && !in.read(&text[0], size)) return set_error(error, "cannot read " + path);
  return load_job_definition(text, source_parsers, options_parsers, out, error);
}
