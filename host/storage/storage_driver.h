#ifndef HOST_STORAGE_DRIVER_H
#define HOST_STORAGE_DRIVER_H

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "host/storage/client_io_base.h"
#include "host/storage/stored_entry.h"

// Where the stored bytes of a storage client go: one driver per kind of
// pool, chosen by the scheme of the pool's URL. A driver moves bytes exactly
// as given (compression and digests happen above it), names files by plain
// names inside the location it was connected to, and publishes a written
// file only when close succeeds: until then no reader sees it, and abort
// (or a failed write or close) leaves nothing behind. One file is open at a
// time; not thread-safe.
class Storage_Driver {
 public:
  virtual ~Storage_Driver() {}

  // Takes the location (the client's URL, of the driver's scheme) and the
  // client's options. False (error() says why) for a URL the driver cannot
  // use or settings it lacks; nothing is contacted yet.
  virtual bool connect(const std::string& url, const Client_IO_Base::Options& options) = 0;

  // How a file of the location is named in messages.
  virtual std::string location(const std::string& name) const = 0;

  // Starts a new file. Refuses an existing name unless overwrite is set.
  virtual bool open_write(const std::string& name, bool overwrite) = 0;

  // Opens a published file for reading from its first byte.
  virtual bool open_read(const std::string& name) = 0;

  // Reads up to len stored bytes; 0 at the end, -1 on failure.
  virtual ssize_t read(char* buf, std::size_t len) = 0;

  // Appends len bytes to the file being written; all of them or false.
  virtual bool write(const char* buf, std::size_t len) = 0;

  // Ends the open file. After writing: makes the file durable and publishes
  // it under its name, or fails leaving nothing. After reading: releases it.
  virtual bool close() = 0;

  // Drops the open file, if any: a file being written is discarded.
  virtual void abort() = 0;

  // Whether a published file of that name exists: 1, 0, or -1 on failure.
  virtual int exists(const std::string& name) = 0;

  // The size of a published file: 1 with size set, 0 when there is none
  // (error() says so), -1 on failure.
  virtual int stored_size(const std::string& name, unsigned long long& size) = 0;

  // Removes a published file; a missing one is success.
  virtual bool remove(const std::string& name) = 0;

  // Whether remove(name) is expected to succeed, checked without changing
  // anything; a missing file is removable. False (error() says why) when
  // the driver can tell that the removal would fail.
  virtual bool removable(const std::string& name) = 0;

  // The names of the published files of the location, sorted.
  virtual bool list(std::vector<std::string>& names) = 0;

  // Every file under the location, in every folder below it, sorted by
  // name: published files and, where the kind of pool keeps them apart,
  // the unpublished files of writers (temporary set). A location that does
  // not exist yet holds nothing. False (error() says why) on failure.
  virtual bool list_tree(std::vector<Stored_Entry>& out) = 0;

  // The unfinished writes that the service keeps apart from files (an S3
  // pool's multipart uploads below the location), sorted by name, as
  // temporary entries with their upload ids. 1 listed (a kind of pool that
  // keeps none answers none), 0 when the service does not offer the
  // listing (error() says so), -1 on failure.
  virtual int list_uploads(std::vector<Stored_Entry>& out) = 0;

  // Removes one entry that list_tree or list_uploads found: a published
  // file, a writer's temporary file or an unfinished upload. Its name must
  // be a plain relative path ("/"-joined elements, none empty, "." or
  // ".."). One already gone is success.
  virtual bool discard(const Stored_Entry& entry) = 0;

  // Text of the last failure.
  const std::string& error() const { return error_; }

 protected:
  bool fail(const std::string& what) {
    error_ = what;
    return false;
  }

  std::string error_;
};

// Whether name is a plain relative path: "/"-joined elements, none empty,
// "." or "..".
bool plain_relative_name(const std::string& name);

// The driver for the scheme of url ("file://" or "s3://"); null with err set
// for any other scheme.
std::unique_ptr<Storage_Driver> make_storage_driver(const std::string& url, std::string& err);

#endif
