#ifndef HOST_CLIENT_IO_EX_H
#define HOST_CLIENT_IO_EX_H

#include <memory>
#include <string>
#include <vector>

#include "host/storage/client_io.h"
#include "host/storage/rate_limiter.h"
#include "host/storage/stored_entry.h"

class Storage_Encoder;
class Storage_Decoder;
struct Storage_Key;
class Storage_Driver;
class Background_Writer;
struct XXH3_state_s;

// The storage client: the caller's bytes pass through the compression
// encoder (or decoder) and reach the pool through the storage driver of the
// URL's scheme (see storage_driver.h). A pool URL "file://DIR" names a
// directory; connect adds nothing to it, so a target like
// "file:///pools/p1/RESOURCE" is a sub-directory, created on the first
// write.
//
// A file being written is invisible under its name until close succeeds:
// the file driver keeps it under a hidden temporary name in the same
// directory and close syncs and renames it. A write that fails, or a client
// destroyed (or reopened) before close, leaves nothing.
//
// Stored bytes reach the driver in blocks of about 1 MiB on a writer thread
// of the client's own, so that the caller's next bytes are read and
// compressed while the last block is stored; a few blocks at most are in
// flight. A failure to store surfaces at the next write or at close, and
// close returns only when every byte is durable. Not thread-safe: one
// caller thread at a time.
class Client_IO_Ex : public Client_IO {
 public:
  enum Open_Mode { MODE_READ = 1, MODE_WRITE = 2 };

  Client_IO_Ex();
  ~Client_IO_Ex() override;
  Client_IO_Ex(const Client_IO_Ex&) = delete;
  Client_IO_Ex& operator=(const Client_IO_Ex&) = delete;

  // Takes the target URL and a copy of the options. False (error() says
  // why) for a URL of an unknown scheme or one its driver refuses (for
  // "file://", one without an absolute directory), for an unknown
  // compression method or a zstd level out of range (check_compression),
  // for a zstd thread count that is not one (ZSTD_WORKERS_OPTION; without
  // it zstd uses every core), and for cipher settings parse_storage_cipher
  // refuses. With a cipher every file written is encrypted, bound to its
  // name, and a file read must be: one stored in the clear is refused, as
  // is an encrypted file read without a cipher or under another name than
  // the one it was written under.
  bool connect(const std::string& url, const Options& options);

  // Opens one file of the connected directory: mode 1 reads, 2 writes
  // (creating the directory). name is a plain file name: not empty, no "/",
  // not starting with ".". Writing refuses an existing name unless the
  // options allow overwriting. The last two arguments are unused by the
  // file store. False on failure, with error() set.
  bool open(const char* name, int mode, int flags = 0, int reserved = 0);

  // Ends the open file. After writing: completes the stored form, syncs and
  // publishes it under its name; false (with the temporary file removed)
  // when that fails. After reading: releases the file. Closing with no open
  // file is success, unless the last close of a written file failed: close
  // then keeps answering false, with error() as it was, until the next
  // connect or open, so that a caller closing twice cannot take a lost
  // file for a stored one.
  bool close();

  // Whether the connected directory holds a published file of that name:
  // 1 yes, 0 no, -1 on failure (error() says why).
  int exists(const char* name);

  // The size as stored (compressed, framed) of a published file of the
  // connected directory: 1 with `size` set, 0 when there is no such file,
  // -1 on failure (error() says why, also for 0).
  int stored_size(const char* name, unsigned long long& size);

  // Removes a published file of the connected directory; a missing file is
  // success, and sets *missing (when given) to true. Not allowed on the file
  // that is open.
  bool remove(const char* name, bool* missing = nullptr);

  // Whether remove(name) is expected to succeed, checked without changing
  // anything, so that a caller removing several files can leave them all
  // in place when one of them cannot go. False (error() says why) when
  // something other than a regular file stands under the name (a
  // directory) or the connected directory does not let this process
  // remove names from it. A missing file is removable.
  bool removable(const char* name);

  // The names of the published files of the connected directory, sorted;
  // false on failure (error() says why).
  bool list(std::vector<std::string>& names);

  // Every file below the connected directory, in its folders too (names
  // relative to it, joined by "/"), with stored sizes and times, sorted by
  // name; a file pool's temporary files are included, marked. False on
  // failure (error() says why).
  bool list_tree(std::vector<Stored_Entry>& out);

  // The unfinished writes that the service keeps apart from files below
  // the connected location (an S3 pool's multipart uploads), as temporary
  // entries with their upload ids: 1 listed (none for a file pool), 0 when
  // the service does not offer such a listing, -1 on failure (error() says
  // why, also for 0).
  int list_uploads(std::vector<Stored_Entry>& out);

  // Removes an entry that list_tree or list_uploads found (a published
  // file, a writer's temporary file, an unfinished upload), for tidying a
  // pool; one already gone is success. Refuses a name that is not a plain
  // relative path. Not while a file is open.
  bool discard(const Stored_Entry& entry);

  // The XXH3-128 digest of the last file written, over its bytes exactly as
  // stored (after compression), as 32 lowercase hex digits (the canonical,
  // big-endian form that xxhsum -H2 prints). Set only by a successful
  // close after writing, together with storage_size(); empty otherwise (no
  // write yet, a failed or abandoned write, or a file opened since).
  const std::string& stored_digest() const { return digest_; }

  // Proves a published file of the connected directory intact against its
  // catalogue entry, reading it once: its stored size must equal
  // recorded_size, its digest (as stored_digest() gives it) must equal
  // recorded_digest unless that is empty (records made before digests),
  // and its stored form must decode completely with every frame checksum
  // right. False with error() naming the file and the first fault: "size
  // X, recorded Y", "digest mismatch: stored D, recorded R", or the
  // decoder's or file system's reason. Not while a file is open.
  bool verify(const char* name, unsigned long long recorded_size, const std::string& recorded_digest);

  ssize_t read(char* buf, std::size_t len) override;
  ssize_t write(const char* buf, std::size_t len) override;
  const char* error() const override { return error_.c_str(); }
  unsigned long long original_size() const override { return original_; }
  unsigned long long storage_size() const override { return storage_; }

 private:
  bool open_write(const std::string& name);
  bool open_read(const std::string& name);
  std::unique_ptr<Storage_Decoder> reading_decoder(const std::string& name, const char* head, std::size_t len,
                                                   int method);
  bool close_write();
  bool flush_stored(bool all);
  bool store_block(const char* p, std::size_t n, std::string& err);
  bool fill();
  void abandon();
  void reset_digest();
  bool fail(const std::string& what);
  bool fail_driver();

  std::unique_ptr<Storage_Driver> driver_;
  Options options_;
  int zstd_workers_ = 1;
  std::unique_ptr<Storage_Key> key_;  // the pool's cipher key; null without encryption
  bool connected_ = false;
  int mode_ = 0;
  bool broken_ = false;
  bool close_failed_ = false;  // the last written file was not stored
  std::string path_;           // the open file's name in messages
  std::unique_ptr<Storage_Encoder> encoder_;
  std::unique_ptr<Storage_Decoder> decoder_;
  std::unique_ptr<Background_Writer> writer_;
  std::string stored_;   // writing: encoded bytes not yet handed to the writer
  std::string decoded_;  // reading: verified bytes not yet handed out
  std::size_t decoded_pos_ = 0;
  std::string raw_;  // reading: stored bytes read ahead of the decoder
  bool at_end_ = false;
  std::size_t flush_size_ = 0;
  Rate_Limiter limiter_;
  unsigned long long original_ = 0;
  unsigned long long storage_ = 0;
  XXH3_state_s* hash_ = nullptr;  // writing: digest of the bytes stored so far
  std::string digest_;
  std::string error_;
};

// The XXH3-128 digest of len bytes in the form stored_digest() gives.
std::string xxh3_128_hex(const void* data, std::size_t len);

#endif
