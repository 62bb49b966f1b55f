#ifndef HOST_STORAGE_S3_DRIVER_H
#define HOST_STORAGE_S3_DRIVER_H

#include <memory>
#include <string>
#include <vector>

#include "host/storage/s3_client.h"
#include "host/storage/storage_driver.h"

// The driver of "s3://BUCKET/PREFIX" pools on an S3-compatible service (the
// endpoint, region and key pair come from the client's options). A file is
// the object PREFIX/NAME.
//
// Writing streams in parts of a fixed size (PART_SIZE) held in memory one
// at a time: a file larger than one part is a multipart upload, completed
// by close and aborted on any failure, so the object exists only once the
// whole file is stored and a failed write leaves neither an object nor
// parts behind; a smaller file is one PUT at close. A completion whose
// answer is lost (no answer, the service failing inside, or a repeated
// completion that finds no upload because an earlier one was carried out)
// is decided by a HEAD of the object: one of the size uploaded counts as
// stored; otherwise the write fails and any object made is removed. Reading fetches ranges
// of READ_RANGE bytes. Every request is bounded by the options' time-out;
// one that fails transiently is sent again a few times (S3_Config), so a
// part's bytes are kept until the service has acknowledged them.
class S3_Driver : public Storage_Driver {
 public:
  static const std::size_t PART_SIZE = 8 * 1024 * 1024;
  static const std::size_t READ_RANGE = 8 * 1024 * 1024;

  ~S3_Driver() override;

  bool connect(const std::string& url, const Client_IO_Base::Options& options) override;
  std::string location(const std::string& name) const override;
  bool open_write(const std::string& name, bool overwrite) override;
  bool open_read(const std::string& name) override;
  ssize_t read(char* buf, std::size_t len) override;
  bool write(const char* buf, std::size_t len) override;
  bool close() override;
  void abort() override;
  int exists(const std::string& name) override;
  int stored_size(const std::string& name, unsigned long long& size) override;
  bool remove(const std::string& name) override;
  // Always true: a bucket has no file types or directory permissions to
  // look at beforehand; a refused removal shows when it is tried.
  bool removable(const std::string&) override { return true; }
  bool list(std::vector<std::string>& names) override;
  // Every object under the prefix (a listing without a delimiter); an
  // unfinished multipart upload is not an object and is not listed.
  bool list_tree(std::vector<Stored_Entry>& out) override;
  // ListMultipartUploads of the prefix (GET /?uploads&prefix=); 0 when the
  // service answers that it does not implement it.
  int list_uploads(std::vector<Stored_Entry>& out) override;
  // Deletes the object, or aborts the upload of an entry with an upload id
  // (an upload the service no longer knows is success).
  bool discard(const Stored_Entry& entry) override;

 private:
  bool list_keys(bool whole_tree, std::vector<Stored_Entry>& out);
  std::string key(const std::string& name) const { return prefix_.empty() ? name : prefix_ + "/" + name; }
  bool upload_part();
  bool completion_may_have_happened() const;
  bool stored_whole();
  void remove_object();
  bool fail_request(const std::string& what);
  void release();

  std::unique_ptr<S3_Client> client_;
  std::string bucket_;
  std::string prefix_;  // no leading or trailing "/"
  std::string name_;    // the open file
  bool writing_ = false;
  bool reading_ = false;
  std::string part_;       // writing: bytes of the part being gathered
  std::string upload_id_;  // writing: the multipart upload, once started
  std::vector<std::string> etags_;
  unsigned long long uploaded_ = 0;  // writing: bytes of the parts acknowledged
  std::string range_;                // reading: fetched bytes not yet handed out
  std::size_t range_pos_ = 0;
  unsigned long long size_ = 0;  // reading: the object's size
  unsigned long long next_ = 0;  // reading: first byte not yet fetched
  S3_Response response_;
};

// Splits "s3://BUCKET/PREFIX" into the bucket and the prefix (no leading or
// trailing "/"); false with err for a URL of another form, a bucket name S3
// does not allow (3 to 63 characters of a-z, 0-9, "." and "-", starting and
// ending with a letter or digit, no ".."), or a prefix with an empty, "."
// or ".." element or a character outside A-Z a-z 0-9 "-" "_" "." "~"
// between its "/" separators. Those characters need no escaping in a
// request's path, so the path signed is the path sent.
bool parse_s3_url(const std::string& url, std::string& bucket, std::string& prefix, std::string& err);

#endif
