#ifndef SIM_DATAFILES_H
#define SIM_DATAFILES_H

// Data files of a simulated instance (HOME/odbs/NAME/*). A data file is a
// sequence of 8 KiB pages; each page starts with a 16-byte header: the LSN
// of its last change (64-bit little-endian), its page number (32-bit
// little-endian) and the magic "OSPG". The rest is deterministic content.
// Incremental and differential backups pick pages by their LSN, as a real
// server does. Callers serialise changes with the instance's data lock.

#include <cstdint>
#include <string>
#include <vector>

#include "state.h"

namespace sim {

constexpr size_t PAGE_SIZE = 8192;
constexpr size_t PAGE_HEADER_SIZE = 16;

struct Data_File {
  std::string name;  // file name inside the data directory
  std::string path;  // full path
  uint64_t size = 0;
};

// The regular files of the data directory, sorted by name (names starting
// with "." are not data files). False when the directory cannot be read.
bool list_data_files(const std::string& dir, std::vector<Data_File>& files);

// The page LSN stored in a page header (0 for a buffer shorter than a header).
uint64_t page_lsn(const unsigned char* page, size_t len);

// Fills one page: header with lsn and page number, content from seed.
void fill_page(unsigned char* page, uint32_t page_no, uint64_t lsn, uint64_t seed);

// Creates (or replaces) a data file of pages pages, every page stamped with
// lsn; content depends only on seed and the page numbers.
bool create_data_file(const std::string& path, uint64_t pages, uint64_t lsn, uint64_t seed, std::string& err);

// Creates the data files of a new instance, one per tablespace entry, about
// total_bytes together (at least 4 pages each); the user tablespaces share
// the user data part equally.
bool create_instance_data(const std::string& dir, const json& inst, const std::string& name, uint64_t total_bytes,
                          std::string& err);

// Changes some pages (and, every third call, grows one file) so that the
// next incremental backup has work. Deterministic: the pages and contents
// depend only on the instance's touch_count, which it advances, along with
// lsn and scn. The caller saves the state afterwards.
bool touch_instance_data(const std::string& dir, json& inst, std::string& err);

// One digest over the names, sizes and contents of all data files.
bool checksum_data(const std::string& dir, uint64_t& digest, std::string& err);

}  // namespace sim

#endif
