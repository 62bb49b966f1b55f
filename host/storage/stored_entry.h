#ifndef HOST_STORAGE_STORED_ENTRY_H
#define HOST_STORAGE_STORED_ENTRY_H

#include <ctime>
#include <string>

// One file found under a storage location by a listing of its whole tree.
struct Stored_Entry {
  // Relative to the listed location, folders joined by "/".
  std::string name;
  // Bytes as stored (compressed, framed, encrypted).
  unsigned long long size = 0;
  // When it was last written (seconds since the epoch; 0 when unknown).
  std::time_t mtime = 0;
  // A writer's unpublished file (a hidden temporary file of a file pool)
  // rather than a published one.
  bool temporary = false;
  // The id of an unfinished multipart upload to `name` (an S3 pool's
  // writer that never completed nor aborted it); empty for a file. Such an
  // entry is temporary too, and its mtime is when the upload started.
  std::string upload_id;
};

#endif
