#include "runners/module_watch.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <regex>
#include <set>

#include "firmware/pe_format.h"
#include "firmware/pe_image.h"
#include "firmware/pi_layout.h"
#include "runners/gdb_remote.h"
#include "runners/qemu_process.h"
#include "runners/run_qemu.h"
#include "vplat/pei_core.h"

namespace runners {
namespace {

using firmware::ReadRecord;

// EFI_PEI_NOTIFY_DESCRIPTOR as a 32-bit module lays it out.
struct NotifyDescriptor32 {
  uint32_t Flags;
  uint32_t Guid;
  uint32_t Notify;
};
static_assert(sizeof(NotifyDescriptor32) == 12);
static_assert(offsetof(NotifyDescriptor32, Guid) == 4);
static_assert(offsetof(NotifyDescriptor32, Notify) == 8);

constexpr uint32_t END_OF_PEI_NOTIFY_FLAGS = EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
constexpr double STUB_WAIT_SECONDS = 10;
// A read watchpoint stops at every read of the entry bytes (checksums, the
// copy); the guest memory is searched for a copy at a few new places only.
constexpr int MEMORY_SEARCHES = 4;
constexpr uint32_t COPY_ALIGNMENT = 16;
constexpr size_t MAX_COPIES = 8;

// The callback named by a notify descriptor for the end-of-PEI PPI that
// points into the image itself; nullopt when the image holds none.
std::optional<uint32_t> EndOfPeiCallback(std::span<const uint8_t> image, uint32_t base) {
  const auto inImage = [&](uint32_t address, size_t size) {
    return address >= base && address - base <= image.size() && image.size() - (address - base) >= size;
  };
  for (size_t at = 0; at + sizeof(NotifyDescriptor32) <= image.size(); at += 4) {
    const auto d = ReadRecord<NotifyDescriptor32>(image, at);
    if (d.Flags != END_OF_PEI_NOTIFY_FLAGS || !inImage(d.Guid, sizeof(EFI_GUID)) || !inImage(d.Notify, 1)) continue;
    if (std::memcmp(image.data() + (d.Guid - base), &vplat::END_OF_PEI_PPI_GUID, sizeof(EFI_GUID)) == 0)
      return d.Notify - base;
  }
  return std::nullopt;
}

// An IDT gate descriptor: the handler's address is split in two halves.
struct IdtGate {
  uint16_t OffsetLow;
  uint16_t Selector;
  uint8_t Reserved;
  uint8_t Attributes;
  uint16_t OffsetHigh;
};
static_assert(sizeof(IdtGate) == 8);
static_assert(offsetof(IdtGate, OffsetHigh) == 6);

constexpr unsigned EXCEPTION_VECTORS = 32;
constexpr uint8_t NMI_VECTOR = 2;
// The exceptions that push an error code above the faulting address.
constexpr bool PushesErrorCode(unsigned vector) {
  return vector == 8 || (vector >= 10 && vector <= 14) || vector == 17 || vector == 21;
}

// The exception handlers of the IDT the guest uses now, by address; empty
// when the monitor does not tell where the IDT is.
std::map<uint32_t, uint8_t> ExceptionHandlers(GdbRemote& gdb, const std::string& monitorSocket) {
  std::map<uint32_t, uint8_t> handlers;
  std::smatch idt;
  const std::string registers = Monitor(monitorSocket).Run("info registers");
  if (!std::regex_search(registers, idt, std::regex("IDT=\\s*([0-9a-fA-F]+) ([0-9a-fA-F]+)"))) return handlers;
  const auto base = static_cast<uint32_t>(std::stoull(idt[1], nullptr, 16));
  const auto limit = static_cast<uint32_t>(std::stoull(idt[2], nullptr, 16));
  const uint32_t gates = std::min((limit + 1) / uint32_t{sizeof(IdtGate)}, EXCEPTION_VECTORS);
  if (gates == 0) return handlers;
  const std::vector<uint8_t> table = gdb.Memory(base, gates * uint32_t{sizeof(IdtGate)});
  for (uint8_t v = 0; v < gates; ++v) {
    const auto gate = ReadRecord<IdtGate>(table, v * sizeof(IdtGate));
    const uint32_t handler = gate.OffsetLow | uint32_t{gate.OffsetHigh} << 16;
    if (v != NMI_VECTOR && handler != 0) handlers.emplace(handler, v);
  }
  return handlers;
}

struct Return {
  size_t module;
  bool endOfPei;
  uint32_t esp;  // the caller's stack pointer once the call has returned
};

}  // namespace

WatchedModule WatchModule(std::span<const uint8_t> image) {
  const firmware::PeInfo info = firmware::ReadPe(image);
  WatchedModule m;
  m.base = info.imageBase;
  m.entryRva = info.entryRva;
  m.endOfPeiRva = EndOfPeiCallback(image, info.imageBase);
  const auto dos = ReadRecord<firmware::PeDosHeader>(image, 0);
  m.headers.assign(image.begin(), image.begin() + dos.e_lfanew + sizeof(uint32_t) + sizeof(firmware::CoffFileHeader));
  return m;
}

ModuleWatch::ModuleWatch(WatchSetup setup) : setup_(std::move(setup)), evidence_(setup_.modules.size()) {
  for (size_t i = 0; i < evidence_.size(); ++i) evidence_[i].placedAt = setup_.modules[i].base;
  thread_ = std::thread([this] { Watch(); });
}

ModuleWatch::~ModuleWatch() { Finish(); }

std::vector<ModuleEvidence> ModuleWatch::Finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return evidence_;
}

void ModuleWatch::Watch() {
  try {
    GdbRemote gdb(setup_.gdbSocket, STUB_WAIT_SECONDS);
    const std::vector<WatchedModule>& modules = setup_.modules;
    std::set<uint32_t> breakpoints, watchpoints;
    const auto breakAt = [&](uint32_t address) {
      if (breakpoints.insert(address).second) gdb.Insert(GdbRemote::Point::Software, address, 1);
    };
    const auto unbreak = [&](uint32_t address) {
      if (breakpoints.erase(address)) gdb.Remove(GdbRemote::Point::Software, address, 1);
    };
    std::vector<std::vector<uint32_t>> bases(modules.size());
    const auto watchBase = [&](size_t i, uint32_t base) {
      bases[i].push_back(base);
      breakAt(base + modules[i].entryRva);
      if (modules[i].endOfPeiRva) breakAt(base + *modules[i].endOfPeiRva);
    };
    for (size_t i = 0; i < modules.size(); ++i) {
      watchBase(i, modules[i].base);
      const uint32_t entry = modules[i].base + modules[i].entryRva;
      if (watchpoints.insert(entry).second) gdb.Insert(GdbRemote::Point::Read, entry, 4);
    }
    const auto unwatch = [&](size_t i) {
      const uint32_t entry = modules[i].base + modules[i].entryRva;
      if (watchpoints.erase(entry)) gdb.Remove(GdbRemote::Point::Read, entry, 4);
    };

    // Copies of a module's image elsewhere in guest memory, by its headers.
    int searches = MEMORY_SEARCHES;
    std::set<uint32_t> searchedFrom;
    const auto findCopies = [&](uint32_t eip) {
      if (searches == 0 || !searchedFrom.insert(eip).second) return;
      --searches;
      // The dump streams past; `carry` keeps the tail of the last piece, so a
      // header that straddles two pieces is still seen.
      size_t longest = 0;
      for (const WatchedModule& m : modules) longest = std::max(longest, m.headers.size());
      std::vector<uint8_t> carry;
      std::vector<std::pair<size_t, uint32_t>> copies;  // module, base; watched once QEMU is done
      Monitor(setup_.monitorSocket)
          .StreamMemory(setup_.ramBytes, setup_.dumpPipe, [&](uint32_t at, std::span<const uint8_t> piece) {
            std::vector<uint8_t> bytes = std::move(carry);
            bytes.insert(bytes.end(), piece.begin(), piece.end());
            const uint32_t from = at - static_cast<uint32_t>(bytes.size() - piece.size());
            for (size_t i = 0; i < modules.size(); ++i) {
              const std::vector<uint8_t>& h = modules[i].headers;
              for (size_t p = (COPY_ALIGNMENT - from % COPY_ALIGNMENT) % COPY_ALIGNMENT; p + h.size() <= bytes.size();
                   p += COPY_ALIGNMENT) {
                if (bytes[p] != h[0] || !std::equal(h.begin(), h.end(), bytes.begin() + static_cast<ptrdiff_t>(p))) continue;
                copies.emplace_back(i, from + static_cast<uint32_t>(p));
              }
            }
            const size_t keep = std::min(bytes.size(), longest - 1);
            carry.assign(bytes.end() - static_cast<ptrdiff_t>(keep), bytes.end());
          });
      for (const auto& [i, base] : copies)
        if (bases[i].size() <= MAX_COPIES && std::find(bases[i].begin(), bases[i].end(), base) == bases[i].end())
          watchBase(i, base);
    };

    std::map<uint32_t, Return> returns;  // by return address: the calls running now
    std::map<uint32_t, uint8_t> handlers;  // exception handlers, armed while a call runs
    const auto armHandlers = [&] {
      for (const auto& [address, vector] : ExceptionHandlers(gdb, setup_.monitorSocket))
        if (handlers.emplace(address, vector).second) breakAt(address);
    };
    const auto disarmHandlers = [&] {
      for (const auto& [address, vector] : handlers) unbreak(address);
      handlers.clear();
    };
    const auto done = [&] {
      return std::all_of(evidence_.begin(), evidence_.end(), [](const ModuleEvidence& e) {
        return e.entryStatus && e.endOfPeiStatus;
      });
    };
    while (!done()) {
      const std::optional<std::string> stop = gdb.Continue(stop_);
      if (!stop) return;
      const std::vector<uint8_t> registers = gdb.Registers();
      const auto reg = [&](unsigned index) {
        const size_t at = size_t{index} * setup_.registers.width;
        if (at + sizeof(uint32_t) > registers.size()) throw QemuError("QEMU's gdbstub gave too few registers");
        return ReadRecord<uint32_t>(registers, at);  // the low half of a 64-bit one
      };
      const uint32_t eip = reg(setup_.registers.eip), esp = reg(setup_.registers.esp);
      if (stop->find("watch:") != std::string::npos) {
        findCopies(eip);
        continue;
      }
      const auto returnTo = [&](size_t i, bool endOfPei) {
        const auto ret = ReadRecord<uint32_t>(gdb.Memory(esp, sizeof(uint32_t)), 0);
        returns[ret] = {i, endOfPei, esp + static_cast<uint32_t>(sizeof(uint32_t))};
        breakAt(ret);
        armHandlers();
      };
      if (const auto h = handlers.find(eip); h != handlers.end() && !returns.empty()) {
        const size_t i = returns.begin()->second.module;
        const uint32_t frame = esp + (PushesErrorCode(h->second) ? sizeof(uint32_t) : 0);
        evidence_[i].faultVector = h->second;
        evidence_[i].faultAddress = ReadRecord<uint32_t>(gdb.Memory(frame, sizeof(uint32_t)), 0);
        faulted_ = true;
        break;
      }
      for (size_t i = 0; i < modules.size(); ++i) {
        for (const uint32_t base : bases[i]) {
          if (eip == base + modules[i].entryRva && !evidence_[i].ranAt) {
            evidence_[i].ranAt = base;
            unwatch(i);
            for (const uint32_t b : bases[i]) unbreak(b + modules[i].entryRva);
            returnTo(i, false);
          }
          if (modules[i].endOfPeiRva && eip == base + *modules[i].endOfPeiRva && !evidence_[i].endOfPeiEntered) {
            evidence_[i].endOfPeiEntered = true;
            for (const uint32_t b : bases[i]) unbreak(b + *modules[i].endOfPeiRva);
            returnTo(i, true);
          }
        }
      }
      if (const auto r = returns.find(eip); r != returns.end() && r->second.esp == esp) {
        const uint32_t status = reg(setup_.registers.eax);
        (r->second.endOfPei ? evidence_[r->second.module].endOfPeiStatus : evidence_[r->second.module].entryStatus) =
            status;
        returns.erase(r);
        unbreak(eip);
        if (returns.empty()) disarmHandlers();
      }
      // A breakpoint kept where the guest stopped would stop it again at once:
      // step over it first.
      if (breakpoints.count(eip)) {
        gdb.Remove(GdbRemote::Point::Software, eip, 1);
        if (!gdb.Step()) return;
        gdb.Insert(GdbRemote::Point::Software, eip, 1);
      }
    }
    for (const uint32_t address : std::set(breakpoints)) unbreak(address);
    for (size_t i = 0; i < modules.size(); ++i) unwatch(i);
    gdb.Detach();
  } catch (const QemuError& e) {
    if (!stop_) problem_ = e.what();
    failed_ = !stop_;
  }
}

}  // namespace runners
