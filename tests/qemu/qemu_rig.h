// What the QEMU tests share: why they cannot run here (no QEMU, no OVMF, no
// gdb), the images make_images.sh made, and the module's symbols from
// lld-link's map (RVAs: the module is linked at base 0).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

namespace qemu_rig {

inline std::string Images() { return QEMU_IMAGES; }

inline bool OnPath(const std::string& program) {
  const std::string command = "command -v " + program + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// Empty when the boots can run; otherwise the reason, for GTEST_SKIP.
inline std::string WhyNot() {
  for (const char* qemu : {"qemu-system-i386", "qemu-system-x86_64"})
    if (!OnPath(qemu)) return std::string(qemu) + " is absent: install Debian's qemu-system-x86";
  std::ifstream absent(Images() + "/absent");
  if (absent) return std::string(std::istreambuf_iterator<char>(absent), std::istreambuf_iterator<char>());
  return "";
}

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The public symbols of lld-link's map by RVA (the module is linked at base 0).
inline std::map<uint32_t, std::string> Symbols() {
  std::map<uint32_t, std::string> symbols;
  std::istringstream map(Slurp(VERIFLASH_MAP));
  for (std::string line; std::getline(map, line);) {
    std::istringstream fields(line);
    std::string section, symbol, rva;
    if (fields >> section >> symbol >> rva && section.starts_with("0001:") && rva.size() == 16)
      symbols[static_cast<uint32_t>(std::stoul(rva, nullptr, 16))] = symbol;
  }
  return symbols;
}

// The RVA of `name` (decorated), 0 when absent.
inline uint32_t SymbolRva(const std::string& name) {
  for (const auto& [rva, symbol] : Symbols())
    if (symbol == name) return rva;
  return 0;
}

// The code symbol that holds `rva`.
inline std::string SymbolAt(uint32_t rva) {
  const auto symbols = Symbols();
  auto it = symbols.upper_bound(rva);
  return it == symbols.begin() ? std::string() : std::prev(it)->second;
}

inline constexpr const char* MODULE_ENTRY = "_ModuleEntry";
inline constexpr const char* ON_END_OF_PEI = "?OnEndOfPei@@YAIPBXPBUEFI_PEI_NOTIFY_DESCRIPTOR@@PAX@Z";
// The seam's read of the halt loop's flag, called on every pass of the loop.
inline constexpr const char* READ_HALT_FLAG = "?ReadHaltFlag@hw@@YAIPDI@Z";
// The seam's call of the GetHobList service: its own object file, so never
// inlined into the module's callers. Arguments: function, services, out pointer.
inline constexpr const char* CALL_GET_HOB_LIST = "?CallGetHobList@hw@@YAIW4PhysAddr@@0PAW42@@Z";

// Where the pre-memory module's image runs (its ImageBase) in the build of
// images named `prefix`..., from `firmware add --json`.
inline uint32_t PreMemoryImageAddress(const std::string& prefix = "") {
  const auto doc = nlohmann::json::parse(Slurp(Images() + "/" + prefix + "code_pre.json"));
  return static_cast<uint32_t>(std::stoul(doc["module"]["imageAddress"].get<std::string>(), nullptr, 16));
}

}  // namespace qemu_rig
