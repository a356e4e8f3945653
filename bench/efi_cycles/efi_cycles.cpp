// TSC ticks per hashed byte of the shipped veriflash.efi's two compression
// paths on this processor. The i686 code cannot run in this 64-bit process,
// and the whole end-of-PEI check needs ring 0 (it reads CR4), so this program
// rebases the image, and efi_cycles32, a 32-bit process, maps it at that
// base and calls Sha256CompressPortable and Sha256CompressShaExtensions on
// the region's size, interleaved, keeping the fastest of each.
//
//   efi_cycles VERIFLASH_EFI EFI_CYCLES32 [REPETITIONS]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "common/hex.h"
#include "common/host_cpu.h"
#include "firmware/pe_image.h"

namespace {

// Below 2 GiB, in the part of a 32-bit process's address space that Linux
// leaves free.
constexpr uint32_t BASE = 0x20000000;
constexpr double REGION_SIZE = 0x2D0000;

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "efi_cycles: %s\n", message.c_str());
  std::exit(2);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The RVA of a function, from the lld-link map beside the image (image base 0).
uint32_t MapRva(const std::string& mapPath, const std::string& function) {
  std::ifstream map(mapPath);
  for (std::string line; std::getline(map, line);) {
    std::istringstream fields(line);
    std::string address, name, rva;
    fields >> address >> name >> rva;
    if (name.rfind("?" + function + "@", 0) == 0) return static_cast<uint32_t>(std::stoul(rva, nullptr, 16));
  }
  Fail(function + " is not in " + mapPath);
}

std::string HexArg(uint32_t value) { return common::Hex(value).substr(2); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) Fail("usage: efi_cycles VERIFLASH_EFI EFI_CYCLES32 [REPETITIONS]");
  const std::string efiPath = argv[1];
  const int repetitions = argc > 3 ? std::atoi(argv[3]) : 30;
  const std::string mapPath = efiPath.substr(0, efiPath.rfind('.')) + ".map";
  const uint32_t portable = MapRva(mapPath, "Sha256CompressPortable");
  const bool sha = common::HostHasShaExtensions();
  // Without the instructions the SHA column repeats the portable function.
  const uint32_t accelerated = sha ? MapRva(mapPath, "Sha256CompressShaExtensions") : portable;

  const std::vector<uint8_t> image = firmware::RebasePe(ReadFile(efiPath), BASE);
  char imagePath[] = "/tmp/efi_cycles-XXXXXX";
  const int fd = mkstemp(imagePath);
  if (fd < 0 || write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size())) Fail("cannot write a temporary image");
  close(fd);
  const std::string command = std::string(argv[2]) + " " + imagePath + " " + HexArg(BASE) + " " + HexArg(portable) +
                              " " + HexArg(accelerated) + " " + HexArg(static_cast<uint32_t>(repetitions));
  FILE* runner = popen(command.c_str(), "r");
  std::string output;
  char buffer[512];
  while (runner != nullptr && std::fgets(buffer, sizeof buffer, runner) != nullptr) output += buffer;
  const int status = runner != nullptr ? pclose(runner) : -1;
  unlink(imagePath);
  if (status != 0) Fail("efi_cycles32 failed: " + output);

  std::istringstream report(output);
  std::string word;
  unsigned long long ticks[2] = {};
  std::vector<std::string> states;
  while (report >> word) {
    if (word == "ticks") report >> std::hex >> ticks[0] >> ticks[1];
    if (word == "states")
      for (int i = 0; i < 16 && report >> word; ++i) states.push_back(word);
  }
  if (ticks[0] == 0 || states.size() != 16) Fail("efi_cycles32 wrote \"" + output + "\"");
  if (!std::equal(states.begin(), states.begin() + 8, states.begin() + 8))
    Fail("the two paths of veriflash.efi disagree on the hash state");
  std::printf("veriflash.efi on this processor, fastest of %d, TSC ticks per hashed byte:\n", repetitions);
  std::printf("  portable       %6.2f\n", ticks[0] / REGION_SIZE);
  std::printf("  SHA extensions %6.2f%s\n", ticks[1] / REGION_SIZE, sha ? "" : "  (not available: portable again)");
  std::printf("  ratio          %6.2fx\n", double(ticks[0]) / double(ticks[1]));
}
