#include "host/storage/s3_driver.h"

#include <time.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "tollix/secure_allocator.h"

namespace {

const char* const S3_SCHEME = "s3://";

bool valid_bucket(const std::string& b) {
  if (b.size() < 3 || b.size() > 63 || b.find("..") != std::string::npos) return false;
  for (char c : b)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-')) return false;
  return b.front() != '.' && b.front() != '-' && b.back() != '.' && b.back() != '-';
}

bool prefix_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.' || c == '~';
}

// Why prefix (trailing "/" already dropped) cannot be used, or empty.
std::string prefix_fault(const std::string& prefix) {
  if (prefix.empty()) return std::string();
  std::size_t from = 0;
  for (;;) {
    const std::size_t slash = prefix.find('/', from);
    const std::string element = prefix.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
    if (element.empty()) return "the prefix has an empty path element";
    if (element == "." || element == "..") return "the prefix has a '" + element + "' path element";
    for (char c : element)
      if (!prefix_char(c))
        return "the prefix may hold only the characters A-Z, a-z, 0-9, '-', '_', '.' and '~' between its '/'";
    if (slash == std::string::npos) return std::string();
    from = slash + 1;
  }
}

}  // namespace

bool parse_s3_url(const std::string& url, std::string& bucket, std::string& prefix, std::string& err) {
  const std::size_t scheme_len = std::strlen(S3_SCHEME);
  if (url.compare(0, scheme_len, S3_SCHEME) != 0) {
    err = "storage URL '" + url + "' is not an s3:// URL";
    return false;
  }
  const std::string rest = url.substr(scheme_len);
  const std::size_t slash = rest.find('/');
  bucket = rest.substr(0, slash);
  prefix = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  if (!valid_bucket(bucket)) {
    err = "storage URL '" + url +
          "': expected s3://BUCKET/PREFIX with a bucket name of 3 to 63 characters a-z, 0-9, '.' and '-' (no '..')";
    return false;
  }
  const std::string fault = prefix_fault(prefix);
  if (!fault.empty()) {
    err = "storage URL '" + url + "': " + fault;
    return false;
  }
  return true;
}

S3_Driver::~S3_Driver() { abort(); }

bool S3_Driver::connect(const std::string& url, const Client_IO_Base::Options& options) {
  abort();
  std::string err;
  if (!parse_s3_url(url, bucket_, prefix_, err)) return fail(err);
  if (options.s3_endpoint.empty()) return fail("storage URL '" + url + "' needs the endpoint of its S3 service");
  if (options.s3_access_key_id.empty() || options.s3_secret_access_key.empty())
    return fail("storage URL '" + url + "' needs an S3 access key pair");
  S3_Config config;
  config.endpoint = options.s3_endpoint;
  if (!options.s3_region.empty()) config.region = options.s3_region;
  config.access_key_id = options.s3_access_key_id;
  config.secret_access_key = options.s3_secret_access_key;
  config.bucket = bucket_;
  if (options.s3_timeout_seconds > 0) config.timeout_seconds = options.s3_timeout_seconds;
  client_.reset(new S3_Client(config));
  wipe(config.secret_access_key);
  return true;
}

std::string S3_Driver::location(const std::string& name) const { return S3_SCHEME + bucket_ + "/" + key(name); }

bool S3_Driver::fail_request(const std::string& what) { return fail(what + ": " + response_.describe()); }

void S3_Driver::release() {
  writing_ = false;
  reading_ = false;
  upload_id_.clear();
  etags_.clear();
  uploaded_ = 0;
  std::string().swap(part_);
  std::string().swap(range_);
  range_pos_ = 0;
}

void S3_Driver::abort() {
  if (writing_ && !upload_id_.empty() && client_) {
    // Best effort: the error of the failure that led here is the one kept.
    S3_Response answer;
    client_->request("DELETE", key(name_), {{"uploadId", upload_id_}}, {}, nullptr, 0, answer);
  }
  release();
}

bool S3_Driver::open_write(const std::string& name, bool overwrite) {
  abort();
  name_ = name;
  if (!overwrite) {
    const int found = exists(name);
    if (found < 0) return false;
    if (found == 1) return fail("storage file " + location(name) + " already exists");
  }
  part_.reserve(PART_SIZE);
  writing_ = true;
  return true;
}

bool S3_Driver::upload_part() {
  const std::string object = key(name_);
  if (upload_id_.empty()) {
    // Each start makes an upload of its own: one whose answer was lost
    // would be left behind by a second.
    if (!client_->request("POST", object, {{"uploads", ""}}, {}, nullptr, 0, response_, S3_Client::ONCE_ONLY))
      return fail_request("cannot start the upload of storage file " + location(name_));
    upload_id_ = s3_xml_value(response_.body, "UploadId");
    if (upload_id_.empty())
      return fail("cannot start the upload of storage file " + location(name_) + ": no upload id");
  }
  const std::string number = std::to_string(etags_.size() + 1);
  if (!client_->request("PUT", object, {{"partNumber", number}, {"uploadId", upload_id_}},
                        {{"Content-Type", "application/octet-stream"}}, part_.data(), part_.size(), response_))
    return fail_request("cannot write part " + number + " of storage file " + location(name_));
  const auto etag = response_.headers.find("etag");
  if (etag == response_.headers.end() || etag->second.empty())
    return fail("cannot write part " + number + " of storage file " + location(name_) + ": no ETag in the answer");
  etags_.push_back(etag->second);
  uploaded_ += part_.size();
  part_.clear();
  return true;
}

bool S3_Driver::write(const char* buf, std::size_t len) {
  if (!writing_) return fail("no storage file is open for writing");
  while (len) {
    const std::size_t n = std::min(len, PART_SIZE - part_.size());
    part_.append(buf, n);
    buf += n;
    len -= n;
    if (part_.size() == PART_SIZE && !upload_part()) {
      abort();
      return false;
    }
  }
  return true;
}

bool S3_Driver::close() {
  if (!writing_) {
    release();
    return true;
  }
  const std::string object = key(name_);
  if (upload_id_.empty()) {
    // The whole file fits in one part: one request stores it.
    const bool ok = client_->request("PUT", object, {}, {{"Content-Type", "application/octet-stream"}}, part_.data(),
                                     part_.size(), response_);
    release();
    return ok || fail_request("cannot store storage file " + location(name_));
  }
  if (!part_.empty() && !upload_part()) {
    abort();
    return false;
  }
  std::string list = "<CompleteMultipartUpload>";
  for (std::size_t i = 0; i < etags_.size(); ++i)
    list += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + etags_[i] + "</ETag></Part>";
  list += "</CompleteMultipartUpload>";
  // The service may answer 200 and still report a failure in the body.
  if (client_->request("POST", object, {{"uploadId", upload_id_}}, {{"Content-Type", "application/xml"}}, list.data(),
                       list.size(), response_) &&
      response_.body.find("<Error>") == std::string::npos) {
    release();
    return true;
  }
  fail_request("cannot complete storage file " + location(name_));
  const bool maybe_stored = completion_may_have_happened();
  if (maybe_stored && stored_whole()) {
    release();
    return true;
  }
  const std::string why = error_;
  abort();
  if (maybe_stored) remove_object();
  error_ = why;
  return false;
}

// The completion's answer was lost (no answer, or the service failing
// inside), or an earlier attempt of it may have been carried out before its
// answer was lost (a later one then finds no upload to complete).
bool S3_Driver::completion_may_have_happened() const {
  return response_.status == 0 || response_.status >= 500 || response_.attempts > 1;
}

// Whether the object of the open file is stored with every byte uploaded,
// as a completion carried out leaves it. A file that is not is failed by
// the caller.
bool S3_Driver::stored_whole() {
  const std::string why = error_;
  unsigned long long size = 0;
  const int found = stored_size(name_, size);
  const std::string looked = error_;
  error_ = why;
  if (found == 1 && size == uploaded_) return true;
  if (found == 1)
    error_ += "; the object stored is of " + std::to_string(size) + " bytes, not " + std::to_string(uploaded_);
  else if (found == 0)
    error_ += "; no object was stored";
  else
    error_ += "; and " + looked;
  return false;
}

// Best effort, after a failed completion: an object that a completion may
// have made is not left behind uncatalogued.
void S3_Driver::remove_object() {
  if (!client_) return;
  S3_Response answer;
  client_->request("DELETE", key(name_), {}, {}, nullptr, 0, answer);
}

bool S3_Driver::open_read(const std::string& name) {
  abort();
  name_ = name;
  const int found = stored_size(name, size_);
  if (found != 1) {
    if (found == 0) fail("cannot open storage file " + location(name) + ": no such object");
    return false;
  }
  next_ = 0;
  reading_ = true;
  return true;
}

ssize_t S3_Driver::read(char* buf, std::size_t len) {
  if (!reading_) {
    fail("no storage file is open for reading");
    return -1;
  }
  if (range_pos_ == range_.size()) {
    if (next_ >= size_) return 0;
    const unsigned long long last = std::min<unsigned long long>(next_ + READ_RANGE, size_) - 1;
    response_.body.swap(range_);  // the range's buffer is reused
    const bool ok = client_->request("GET", key(name_), {},
                                     {{"Range", "bytes=" + std::to_string(next_) + "-" + std::to_string(last)}},
                                     nullptr, 0, response_);
    response_.body.swap(range_);
    range_pos_ = 0;
    if (!ok || range_.size() != last - next_ + 1) {
      range_.clear();
      if (ok)
        fail("cannot read storage file " + location(name_) + ": the object changed while it was read");
      else
        fail_request("cannot read storage file " + location(name_));
      return -1;
    }
    next_ = last + 1;
  }
  const std::size_t n = std::min(len, range_.size() - range_pos_);
  std::memcpy(buf, range_.data() + range_pos_, n);
  range_pos_ += n;
  return static_cast<ssize_t>(n);
}

int S3_Driver::exists(const std::string& name) {
  unsigned long long size = 0;
  return stored_size(name, size);
}

int S3_Driver::stored_size(const std::string& name, unsigned long long& size) {
  if (client_->request("HEAD", key(name), {}, {}, nullptr, 0, response_)) {
    const auto length = response_.headers.find("content-length");
    if (length == response_.headers.end()) {
      fail("cannot look up storage file " + location(name) + ": no size in the answer");
      return -1;
    }
    if (!s3_parse_size(length->second, size)) {
      fail("cannot look up storage file " + location(name) + ": the answer's Content-Length '" + length->second +
           "' is not a size");
      return -1;
    }
    return 1;
  }
  // A HEAD answer has no body to name the reason; 404 is a missing object
  // (or bucket).
  if (response_.status == 404) {
    fail("cannot look up storage file " + location(name) + ": no such object");
    return 0;
  }
  fail_request("cannot look up storage file " + location(name));
  return -1;
}

bool S3_Driver::remove(const std::string& name) {
  if (client_->request("DELETE", key(name), {}, {}, nullptr, 0, response_) || response_.status == 404) return true;
  return fail_request("cannot remove storage file " + location(name));
}

namespace {

// "2026-12-11T02:59:00.000Z" as seconds since the epoch; 0 when unreadable.
std::time_t iso_time(const std::string& text) {
  struct tm tm = {};
  const char* end = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
  return end == nullptr ? 0 : ::timegm(&tm);
}

}  // namespace

bool S3_Driver::list_keys(bool whole_tree, std::vector<Stored_Entry>& out) {
  out.clear();
  const std::string start = prefix_.empty() ? std::string() : prefix_ + "/";
  std::string marker;  // sent only when continuing, never empty
  for (;;) {
    std::map<std::string, std::string> query = {{"prefix", start}};
    if (!whole_tree) query["delimiter"] = "/";
    if (!marker.empty()) query["marker"] = marker;
    if (!client_->request("GET", "", query, {}, nullptr, 0, response_))
      return fail_request("cannot list s3://" + bucket_ + "/" + start);
    const std::string& body = response_.body;
    std::size_t at = 0;
    std::string last;
    for (;;) {
      const std::size_t open = body.find("<Contents>", at);
      if (open == std::string::npos) break;
      const std::size_t close = body.find("</Contents>", open);
      if (close == std::string::npos) break;
      const std::string item = body.substr(open, close - open);
      at = close;
      last = s3_xml_value(item, "Key");
      if (last.empty()) break;
      if (last.compare(0, start.size(), start) != 0) continue;
      Stored_Entry e;
      e.name = last.substr(start.size());
      unsigned long long size = 0;
      if (s3_parse_size(s3_xml_value(item, "Size"), size)) e.size = size;
      e.mtime = iso_time(s3_xml_value(item, "LastModified"));
      out.push_back(e);
    }
    if (s3_xml_value(body, "IsTruncated") != "true") break;
    const std::string next = s3_xml_value(body, "NextMarker");
    marker = next.empty() ? last : next;
    if (marker.empty())
      return fail("cannot list s3://" + bucket_ + "/" + start + ": a truncated answer without a marker");
  }
  std::sort(out.begin(), out.end(), [](const Stored_Entry& a, const Stored_Entry& b) { return a.name < b.name; });
  return true;
}

bool S3_Driver::list(std::vector<std::string>& names) {
  names.clear();
  std::vector<Stored_Entry> entries;
  if (!list_keys(false, entries)) return false;
  for (const Stored_Entry& e : entries) names.push_back(e.name);
  return true;
}

bool S3_Driver::list_tree(std::vector<Stored_Entry>& out) { return list_keys(true, out); }

int S3_Driver::list_uploads(std::vector<Stored_Entry>& out) {
  out.clear();
  const std::string start = prefix_.empty() ? std::string() : prefix_ + "/";
  std::string key_marker, id_marker;  // sent only when continuing
  for (;;) {
    std::map<std::string, std::string> query = {{"uploads", ""}, {"prefix", start}};
    if (!key_marker.empty()) query["key-marker"] = key_marker;
    if (!id_marker.empty()) query["upload-id-marker"] = id_marker;
    if (!client_->request("GET", "", query, {}, nullptr, 0, response_)) {
      fail_request("cannot list the unfinished uploads of s3://" + bucket_ + "/" + start);
      return response_.status == 501 || response_.body.find("<Code>NotImplemented</Code>") != std::string::npos ? 0
                                                                                                                : -1;
    }
    const std::string& body = response_.body;
    std::size_t at = 0;
    for (;;) {
      const std::size_t open = body.find("<Upload>", at);
      if (open == std::string::npos) break;
      const std::size_t close = body.find("</Upload>", open);
      if (close == std::string::npos) break;
      const std::string item = body.substr(open, close - open);
      at = close;
      const std::string key = s3_xml_value(item, "Key");
      Stored_Entry e;
      e.upload_id = s3_xml_value(item, "UploadId");
      if (key.compare(0, start.size(), start) != 0 || key.size() == start.size() || e.upload_id.empty()) continue;
      e.name = key.substr(start.size());
      e.mtime = iso_time(s3_xml_value(item, "Initiated"));
      e.temporary = true;
      out.push_back(e);
    }
    if (s3_xml_value(body, "IsTruncated") != "true") break;
    key_marker = s3_xml_value(body, "NextKeyMarker");
    id_marker = s3_xml_value(body, "NextUploadIdMarker");
    if (key_marker.empty()) {
      fail("cannot list the unfinished uploads of s3://" + bucket_ + "/" + start +
           ": a truncated answer without a marker");
      return -1;
    }
  }
  std::sort(out.begin(), out.end(), [](const Stored_Entry& a, const Stored_Entry& b) { return a.name < b.name; });
  return 1;
}

bool S3_Driver::discard(const Stored_Entry& entry) {
  if (entry.upload_id.empty()) return remove(entry.name);
  if (client_->request("DELETE", key(entry.name), {{"uploadId", entry.upload_id}}, {}, nullptr, 0, response_) ||
      response_.status == 404)
    return true;
  return fail_request("cannot abort the upload " + entry.upload_id + " of storage file " + location(entry.name));
}
