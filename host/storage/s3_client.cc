#include "host/storage/s3_client.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>

#include "tollix/secure_allocator.h"

namespace {

std::once_flag curl_ready;

std::string hex(const unsigned char* p, std::size_t n) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    text += DIGITS[p[i] >> 4];
    text += DIGITS[p[i] & 15];
  }
  return text;
}

std::string hmac(const std::string& key, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
       data.size(), out, &len);
  std::string mac(reinterpret_cast<const char*>(out), len);
  OPENSSL_cleanse(out, sizeof out);
  return mac;
}

// One step of the signing key's derivation: key becomes its HMAC of data,
// and the key it replaces is wiped.
void derive_step(std::string& key, const std::string& data) {
  std::string next = hmac(key, data);
  wipe(key);
  key.swap(next);
}

std::string amz_now() {
  const std::time_t now = std::time(nullptr);
  std::tm tm;
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
  return text;
}

std::string decode_entities(const std::string& text) {
  static const std::pair<const char*, char> ENTITIES[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    bool done = false;
    if (text[i] == '&') {
      for (const auto& e : ENTITIES) {
        const std::size_t n = std::char_traits<char>::length(e.first);
        if (text.compare(i, n, e.first) == 0) {
          out += e.second;
          i += n;
          done = true;
          break;
        }
      }
    }
    if (!done) out += text[i++];
  }
  return out;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<S3_Response*>(user)->body.append(data, size * count);
  return size * count;
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  const std::string line(data, size * count);
  const std::size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t from = colon + 1;
    while (from < line.size() && line[from] == ' ') ++from;
    std::size_t to = line.size();
    while (to > from && (line[to - 1] == '\r' || line[to - 1] == '\n' || line[to - 1] == ' ')) --to;
    static_cast<S3_Response*>(user)->headers[name] = line.substr(from, to - from);
  }
  return size * count;
}

// The service's error codes for a request it could not serve this time but
// may serve when asked again.
bool transient_code(const std::string& code) {
  return code == "SlowDown" || code == "InternalError" || code == "RequestTimeout" || code == "ServiceUnavailable";
}

}  // namespace

bool s3_parse_size(const std::string& text, unsigned long long& size) {
  std::size_t from = 0, to = text.size();
  while (from < to && (text[from] == ' ' || text[from] == '\t')) ++from;
  while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t')) --to;
  if (from == to) return false;
  unsigned long long value = 0;
  for (std::size_t i = from; i < to; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (~0ULL - digit) / 10) return false;
    value = value * 10 + digit;
  }
  size = value;
  return true;
}

std::string s3_sha256_hex(const char* data, std::size_t len) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(data, len, out, &n, EVP_sha256(), nullptr);
  return hex(out, n);
}

std::string s3_uri_encode(const std::string& text, bool keep_slash) {
  static const char DIGITS[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || (keep_slash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += DIGITS[c >> 4];
      out += DIGITS[c & 15];
    }
  }
  return out;
}

std::string s3_xml_value(const std::string& xml, const std::string& tag, std::size_t from, std::size_t* end) {
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  const std::size_t start = xml.find(open, from);
  if (start == std::string::npos) return std::string();
  const std::size_t stop = xml.find(close, start + open.size());
  if (stop == std::string::npos) return std::string();
  if (end) *end = stop + close.size();
  return decode_entities(xml.substr(start + open.size(), stop - start - open.size()));
}

std::string s3_authorization(const S3_Config& config, const std::string& method, const std::string& canonical_uri,
                             const std::string& canonical_query,
                             const std::map<std::string, std::string>& signed_headers, const std::string& payload_hash,
                             const std::string& amz_date) {
  std::string canonical = method + "\n" + canonical_uri + "\n" + canonical_query + "\n";
  std::string names;
  for (const auto& h : signed_headers) {
    canonical += h.first + ":" + h.second + "\n";
    names += (names.empty() ? "" : ";") + h.first;
  }
  canonical += "\n" + names + "\n" + payload_hash;
  const std::string date = amz_date.substr(0, 8);
  const std::string scope = date + "/" + config.region + "/s3/aws4_request";
  const std::string to_sign =
      "AWS4-HMAC-SHA256\n" + amz_date + "\n" + scope + "\n" + s3_sha256_hex(canonical.data(), canonical.size());
  std::string key = "AWS4" + config.secret_access_key;
  derive_step(key, date);
  derive_step(key, config.region);
  derive_step(key, "s3");
  derive_step(key, "aws4_request");
  const std::string signature = hmac(key, to_sign);
  wipe(key);
  return "AWS4-HMAC-SHA256 Credential=" + config.access_key_id + "/" + scope + ",SignedHeaders=" + names +
         ",Signature=" + hex(reinterpret_cast<const unsigned char*>(signature.data()), signature.size());
}

std::string S3_Response::describe() const {
  std::string text;
  if (status == 0) {
    text = error.empty() ? std::string("no answer") : error;
  } else {
    text = "HTTP " + std::to_string(status);
    const std::string code = s3_xml_value(body, "Code");
    const std::string message = s3_xml_value(body, "Message");
    if (!code.empty()) text += " " + code;
    if (!message.empty()) text += ": " + message;
  }
  return attempts > 1 ? text + " (gave up after " + std::to_string(attempts) + " attempts)" : text;
}

S3_Client::S3_Client(const S3_Config& config) : config_(config) {
  while (!config_.endpoint.empty() && config_.endpoint.back() == '/') config_.endpoint.pop_back();
  const std::size_t scheme = config_.endpoint.find("://");
  host_ = scheme == std::string::npos ? config_.endpoint : config_.endpoint.substr(scheme + 3);
  host_ = host_.substr(0, host_.find('/'));
  if (config_.region.empty()) config_.region = "us-east-1";
  if (config_.timeout_seconds <= 0) config_.timeout_seconds = 60;
  std::call_once(curl_ready, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  curl_ = curl_easy_init();
}

S3_Client::~S3_Client() {
  if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
  wipe(config_.secret_access_key);
}

bool S3_Client::request(const std::string& method, const std::string& key,
                        const std::map<std::string, std::string>& query,
                        const std::map<std::string, std::string>& headers, const char* body, std::size_t body_len,
                        S3_Response& out, Repeat repeat) {
  const int attempts = std::max(1, config_.max_attempts);
  long delay_ms = std::max(0L, config_.retry_delay_ms);
  for (out.attempts = 1;; ++out.attempts) {
    const Outcome outcome = send(method, key, query, headers, body, body_len, repeat, out);
    if (outcome == DONE || (outcome == BROKEN && repeat == ONCE_ONLY) || out.attempts >= attempts) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    delay_ms *= 2;
  }
  return out.ok();
}

S3_Client::Outcome S3_Client::send(const std::string& method, const std::string& key,
                                   const std::map<std::string, std::string>& query,
                                   const std::map<std::string, std::string>& headers, const char* body,
                                   std::size_t body_len, Repeat repeat, S3_Response& out) {
  out.status = 0;
  out.error.clear();
  out.body.clear();
  out.headers.clear();
  CURL* curl = static_cast<CURL*>(curl_);
  if (!curl) {
    out.error = "cannot set up an HTTP client";
    return DONE;
  }
  curl_easy_reset(curl);
  const std::string path =
      "/" + s3_uri_encode(config_.bucket, false) + (key.empty() ? "" : "/" + s3_uri_encode(key, true));
  std::string canonical_query;
  for (const auto& q : query)  // a std::map is sorted by name, as signing wants
    canonical_query +=
        (canonical_query.empty() ? "" : "&") + s3_uri_encode(q.first, false) + "=" + s3_uri_encode(q.second, false);
  const std::string url = config_.endpoint + path + (canonical_query.empty() ? "" : "?" + canonical_query);
  const std::string payload_hash = s3_sha256_hex(body ? body : "", body ? body_len : 0);
  const std::string date = amz_now();
  const std::map<std::string, std::string> signed_headers = {
      {"host", host_}, {"x-amz-content-sha256", payload_hash}, {"x-amz-date", date}};
  struct Header_List {
    curl_slist* list = nullptr;
    ~Header_List() { curl_slist_free_all(list); }
    void add(const std::string& line) { list = curl_slist_append(list, line.c_str()); }
  } list;
  list.add("Host: " + host_);
  list.add("x-amz-content-sha256: " + payload_hash);
  list.add("x-amz-date: " + date);
  list.add("Authorization: " +
           s3_authorization(config_, method, path, canonical_query, signed_headers, payload_hash, date));
  list.add("Expect:");
  for (const auto& h : headers) list.add(h.first + ": " + h.second);
  char reason[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  // The path is sent as signed: libcurl would otherwise fold "." and ".."
  // elements of a key away, and the signature would not match.
  curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.list);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, reason);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, config_.timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, config_.timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10 * config_.timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &out);
  // libcurl sends a request again by itself when a kept connection turns
  // out to have been closed before any answer; a new connection keeps a
  // request that must not be repeated from that.
  if (repeat == ONCE_ONLY) curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  if (method == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (method == "GET") {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method == "PUT" || method == "POST") {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body ? body_len : 0));
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body ? body : "");
    }
  }
  const CURLcode rc = curl_easy_perform(curl);
  if (rc != CURLE_OK) {
    out.error = std::string(*reason ? reason : curl_easy_strerror(rc));
    out.status = 0;
    // A time-out is worth another attempt only when nothing was sent yet
    // (a connection that never came): a request left unanswered has had
    // its time-out.
    long sent = 0;
    switch (rc) {
      case CURLE_COULDNT_CONNECT: return NOT_SENT;
      case CURLE_OPERATION_TIMEDOUT:
        return curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &sent) == CURLE_OK && sent == 0 ? NOT_SENT : DONE;
      case CURLE_SEND_ERROR:
      case CURLE_RECV_ERROR:
      case CURLE_PARTIAL_FILE:
      case CURLE_GOT_NOTHING: return BROKEN;
      default: return DONE;
    }
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
  switch (out.status) {
    case 429:
    case 500:
    case 502:
    case 503:
    case 504: return FAILED_HERE;
    default: break;
  }
  // Other answers name a passing failure only by their code: a 400
  // RequestTimeout, or a completion answered 200 with an error inside.
  const bool error_body = out.status >= 400 || (method == "POST" && out.body.find("<Error>") != std::string::npos);
  return error_body && transient_code(s3_xml_value(out.body, "Code")) ? FAILED_HERE : DONE;
}
