// A 32-bit Linux process without a C library that runs the hash code of the
// shipped veriflash.efi on the processor itself: it maps the rebased image
// that efi_cycles wrote at the base it was rebased for, hashes the region's
// size with each compression function many times, interleaved, and prints
// the fastest TSC ticks of each and the resulting hash states.
//
//   efi_cycles32 IMAGE BASE PORTABLE_RVA SHA_RVA REPETITIONS   (numbers in hex)
#include <stddef.h>
#include <stdint.h>

namespace {

// i386 Linux system calls (int 0x80).
constexpr int SYS_EXIT = 1;
constexpr int SYS_WRITE = 4;
constexpr int SYS_OPEN = 5;
constexpr int SYS_MMAP2 = 192;
constexpr int PROT_RWX = 7;
constexpr int MAP_PRIVATE_FIXED = 0x02 | 0x10;
constexpr int MAP_PRIVATE_ANONYMOUS = 0x02 | 0x20;

int32_t Syscall(int32_t number, int32_t a = 0, int32_t b = 0, int32_t c = 0, int32_t d = 0, int32_t e = 0,
                int32_t f = 0) {
  int32_t result;
  // EBP carries the sixth argument; it is saved around the call by hand.
  __asm__ volatile("push %%ebp\n\tmov %7, %%ebp\n\tint $0x80\n\tpop %%ebp"
                   : "=a"(result)
                   : "a"(number), "b"(a), "c"(b), "d"(c), "S"(d), "D"(e), "m"(f)
                   : "memory");
  return result;
}

[[noreturn]] void Exit(int code) {
  Syscall(SYS_EXIT, code);
  __builtin_unreachable();
}

void Put(const char* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  Syscall(SYS_WRITE, 1, reinterpret_cast<int32_t>(text), static_cast<int32_t>(n));
}

void PutHex(uint64_t value) {
  char text[18];
  text[0] = ' ';
  for (int i = 0; i < 16; ++i) text[1 + i] = "0123456789ABCDEF"[(value >> (4 * (15 - i))) & 0xF];
  text[17] = 0;
  Put(text);
}

[[noreturn]] void Fail(const char* why) {
  Put("error ");
  Put(why);
  Put("\n");
  Exit(2);
}

uint32_t ParseHex(const char* text) {
  uint32_t value = 0;
  for (; *text != 0; ++text) {
    const char c = *text;
    const uint32_t digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 16;
    if (digit == 16) Fail("bad number");
    value = value * 16 + digit;
  }
  return value;
}

uint64_t Rdtsc() {
  uint32_t low, high;
  __asm__ volatile("lfence\n\trdtsc" : "=a"(low), "=d"(high) : : "memory");
  return (uint64_t{high} << 32) | low;
}

// The region's size, 2,949,120 bytes: 46,080 blocks.
constexpr uint32_t REGION_SIZE = 0x2D0000;
constexpr uint32_t PAGE = 4096;

using Compress = void (*)(uint32_t state[8], const uint8_t* data, uint32_t blocks);

}  // namespace

extern "C" [[noreturn]] void Main(int argc, char** argv) {
  if (argc != 6) Fail("usage: efi_cycles32 IMAGE BASE PORTABLE_RVA SHA_RVA REPETITIONS");
  const uint32_t base = ParseHex(argv[2]);
  const int32_t fd = Syscall(SYS_OPEN, reinterpret_cast<int32_t>(argv[1]), 0);
  if (fd < 0) Fail("cannot open the image");
  // Mapped over its whole 1 MiB: an image is far smaller, and pages past its
  // end are never touched.
  if (Syscall(SYS_MMAP2, static_cast<int32_t>(base), 1 << 20, PROT_RWX, MAP_PRIVATE_FIXED, fd, 0) !=
      static_cast<int32_t>(base))
    Fail("cannot map the image at its base");
  const int32_t data = Syscall(SYS_MMAP2, 0, REGION_SIZE, PROT_RWX, MAP_PRIVATE_ANONYMOUS, -1, 0);
  if (static_cast<uint32_t>(data) > ~PAGE) Fail("no memory for the data");  // -errno
  auto* bytes = reinterpret_cast<uint8_t*>(data);
  for (uint32_t i = 0; i < REGION_SIZE; ++i) bytes[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);

  const Compress paths[2] = {reinterpret_cast<Compress>(base + ParseHex(argv[3])),
                             reinterpret_cast<Compress>(base + ParseHex(argv[4]))};
  const uint32_t repetitions = ParseHex(argv[5]);
  uint64_t fastest[2] = {~0ull, ~0ull};
  uint32_t state[2][8] = {};
  for (uint32_t r = 0; r < repetitions; ++r) {
    for (int p = 0; p < 2; ++p) {
      for (int i = 0; i < 8; ++i) state[p][i] = 0x01010101u * static_cast<uint32_t>(i + 1);
      const uint64_t start = Rdtsc();
      paths[p](state[p], bytes, REGION_SIZE / 64);
      const uint64_t ticks = Rdtsc() - start;
      if (ticks < fastest[p]) fastest[p] = ticks;
    }
  }
  Put("ticks");
  PutHex(fastest[0]);
  PutHex(fastest[1]);
  Put("\nstates");
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < 8; ++i) PutHex(state[p][i]);
  Put("\n");
  Exit(0);
}

// The process starts with argc, then argv, on the stack.
__asm__(
    ".globl _start\n"
    "_start:\n"
    "  movl %esp, %eax\n"
    "  leal 4(%eax), %ecx\n"
    "  andl $-16, %esp\n"
    "  subl $8, %esp\n"
    "  pushl %ecx\n"
    "  pushl (%eax)\n"
    "  call Main\n");
