// Names of launched functions for messages. Kernels are mostly internal symbols (anonymous
// namespaces, hidden visibility), which dladdr cannot see, so the name comes from the symbol
// table of the file the function was loaded from.

#include <cxxabi.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "runtime.hpp"

namespace emu::detail {
namespace {

struct Module {
  std::uintptr_t address;
  std::string path;
  std::uintptr_t bias = 0;
  bool found = false;
};

int findModule(dl_phdr_info* info, std::size_t, void* data) {
  auto& module = *static_cast<Module*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type != PT_LOAD || module.address < start || module.address >= start + segment.p_memsz) continue;
    // The main program has no name of its own in the list.
    module.path = info->dlpi_name[0] != '\0' ? info->dlpi_name : "/proc/self/exe";
    module.bias = info->dlpi_addr;
    module.found = true;
    return 1;
  }
  return 0;
}

template <typename T>
bool readAt(std::ifstream& file, std::uint64_t offset, T* items, std::size_t count) {
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(reinterpret_cast<char*>(items), static_cast<std::streamsize>(sizeof(T) * count));
  return static_cast<bool>(file);
}

// The symbol-table name of the function that covers `offset` in the ELF file at `path`; empty
// when the file has no such symbol.
std::string symbolAt(const std::string& path, std::uint64_t offset) {
  std::ifstream file(path, std::ios::binary);
  Elf64_Ehdr header;
  if (!readAt(file, 0, &header, 1) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64) {
    return {};
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  if (!readAt(file, header.e_shoff, sections.data(), sections.size())) return {};
  for (const Elf64_Shdr& table : sections) {
    if (table.sh_type != SHT_SYMTAB || table.sh_link >= sections.size()) continue;
    std::vector<Elf64_Sym> symbols(table.sh_size / sizeof(Elf64_Sym));
    if (!readAt(file, table.sh_offset, symbols.data(), symbols.size())) return {};
    const Elf64_Shdr& strings = sections[table.sh_link];
    for (const Elf64_Sym& symbol : symbols) {
      if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || offset < symbol.st_value ||
          offset >= symbol.st_value + symbol.st_size || symbol.st_name >= strings.sh_size) {
        continue;
      }
      std::string name(std::min<std::uint64_t>(strings.sh_size - symbol.st_name, 4096), '\0');
      if (!readAt(file, strings.sh_offset + symbol.st_name, name.data(), name.size())) return {};
      return name.substr(0, name.find('\0'));
    }
  }
  return {};
}

// "ns::(anonymous namespace)::kernel(float*)" reads as "ns::kernel".
std::string readable(const std::string& symbol) {
  int status = 0;
  const std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status), &std::free);
  std::string name = status == 0 ? demangled.get() : symbol;
  const std::string anonymous = "(anonymous namespace)::";
  for (std::size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
  return name.substr(0, name.find('('));
}

}  // namespace

std::string functionName(const void* function) {
  Module module{reinterpret_cast<std::uintptr_t>(function), {}, 0, false};
  dl_iterate_phdr(findModule, &module);
  const std::uint64_t offset = module.address - module.bias;
  const std::string symbol = module.found ? symbolAt(module.path, offset) : std::string();
  if (!symbol.empty()) return readable(symbol);
  std::ostringstream where;
  where << "at " << (module.found ? module.path + "+" : std::string()) << "0x" << std::hex << offset;
  return where.str();
}

}  // namespace emu::detail
