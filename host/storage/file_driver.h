#ifndef HOST_STORAGE_FILE_DRIVER_H
#define HOST_STORAGE_FILE_DRIVER_H

#include <string>
#include <vector>

#include "host/storage/storage_driver.h"

// The driver of "file://DIR" pools: DIR is an absolute directory, created on
// the first write. A file being written lives under a hidden temporary name
// in the same directory until close, which syncs it and renames (or links)
// it to its name; a failure or abort removes the temporary file.
class File_Driver : public Storage_Driver {
 public:
  ~File_Driver() override;

  bool connect(const std::string& url, const Client_IO_Base::Options& options) override;
  std::string location(const std::string& name) const override { return dir_ + "/" + name; }
  bool open_write(const std::string& name, bool overwrite) override;
  bool open_read(const std::string& name) override;
  ssize_t read(char* buf, std::size_t len) override;
  bool write(const char* buf, std::size_t len) override;
  bool close() override;
  void abort() override;
  int exists(const std::string& name) override;
  int stored_size(const std::string& name, unsigned long long& size) override;
  bool remove(const std::string& name) override;
  // False for something other than a regular file under the name (a
  // directory) and for a directory this process may not remove names from.
  bool removable(const std::string& name) override;
  bool list(std::vector<std::string>& names) override;
  // Hidden files (names starting with ".") are writers' temporary files;
  // symbolic links and other non-regular files are left out, and so are
  // folders deeper than a bound no pool reaches.
  bool list_tree(std::vector<Stored_Entry>& out) override;
  // A directory keeps no uploads apart from its files: always none.
  int list_uploads(std::vector<Stored_Entry>& out) override;
  // Unlinks the file (a temporary one too); never a directory.
  bool discard(const Stored_Entry& entry) override;

 private:
  bool fail_errno(const std::string& what, int err);

  std::string dir_;
  int fd_ = -1;
  bool writing_ = false;
  bool overwrite_ = false;
  std::string path_;       // the open file's real name
  std::string temp_path_;  // while writing: where the bytes go until close
  unsigned long long written_ = 0;
  unsigned long long writeback_from_ = 0;  // first byte whose write-back was not started
};

#endif
