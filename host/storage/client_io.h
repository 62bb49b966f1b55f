#ifndef HOST_CLIENT_IO_H
#define HOST_CLIENT_IO_H

#include <sys/types.h>

#include <cstddef>

#include "host/storage/client_io_base.h"

// The data operations of a storage client on its one open file. A client
// belongs to one thread at a time.
class Client_IO : public Client_IO_Base {
 public:
  virtual ~Client_IO() {}

  // Reads up to len bytes into buf. Answers len, or fewer only when the
  // file ends first; 0 at the end of the file; -1 on failure (error() says
  // why). Bytes are handed out only after the stored form proved them
  // intact, so a damaged or truncated file fails, never yields wrong data.
  virtual ssize_t read(char* buf, std::size_t len) = 0;

  // Writes len bytes of buf. Answers len, or -1 on failure (error() says
  // why); after a failure the file can no longer be completed.
  virtual ssize_t write(const char* buf, std::size_t len) = 0;

  // Text of the last failure; empty when nothing failed. Valid until the
  // next call on the client.
  virtual const char* error() const = 0;

  // Bytes passed through read or write on the current (or last) file.
  virtual unsigned long long original_size() const = 0;

  // Bytes of the current (or last) file on storage, after compression.
  virtual unsigned long long storage_size() const = 0;
};

#endif
