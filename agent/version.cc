#include "agent/version.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "agent/module.h"

namespace {

// The build id in one note section's bytes, empty when it holds none.
std::string build_id_in_notes(const char* notes, std::size_t size) {
  std::size_t at = 0;
  while (at + sizeof(Elf64_Nhdr) <= size) {
    Elf64_Nhdr note;
    std::memcpy(&note, notes + at, sizeof note);
    const std::size_t name_at = at + sizeof note;
    const std::size_t desc_at = name_at + ((note.n_namesz + 3) & ~3u);
    const std::size_t next = desc_at + ((note.n_descsz + 3) & ~3u);
    if (next > size) break;
    if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(notes + name_at, "GNU", 4) == 0) {
      static const char HEX[] = "0123456789abcdef";
      std::string id;
      for (std::size_t i = 0; i < note.n_descsz; ++i) {
        const unsigned char c = static_cast<unsigned char>(notes[desc_at + i]);
        id += HEX[c >> 4];
        id += HEX[c & 15];
      }
      return id;
    }
    at = next;
  }
  return std::string();
}

}  // namespace

bool elf_build_id(const std::string& path, std::string& id, std::string& err) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> file =
      in ? std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>())
         : std::vector<char>();
  if (in.bad() || file.empty()) {
    err = "cannot read " + path;
    return false;
  }
  Elf64_Ehdr head;
  if (file.size() < sizeof head || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0 || file[EI_CLASS] != ELFCLASS64) {
    err = path + " is no 64-bit ELF file";
    return false;
  }
  std::memcpy(&head, file.data(), sizeof head);
  for (std::size_t i = 0; i < head.e_shnum; ++i) {
    const std::size_t at = head.e_shoff + i * sizeof(Elf64_Shdr);
    if (head.e_shentsize != sizeof(Elf64_Shdr) || at + sizeof(Elf64_Shdr) > file.size()) break;
    Elf64_Shdr section;
    std::memcpy(&section, file.data() + at, sizeof section);
    if (section.sh_type != SHT_NOTE || section.sh_offset + section.sh_size > file.size()) continue;
    id = build_id_in_notes(file.data() + section.sh_offset, section.sh_size);
    if (!id.empty()) return true;
  }
  err = path + " carries no build id";
  return false;
}

std::string version_text() {
  std::string text = std::string("oscar-agent ") + OSCAR_PACKAGE_VERSION + "\n";
  const std::string module = Oscar_Module::default_path();
  std::string id, err;
  if (elf_build_id(module, id, err)) return text + "module " + module + " (build " + id + ")\n";
  return text + "module: " + err + "\n";
}
