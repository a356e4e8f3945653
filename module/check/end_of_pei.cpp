#include "module/check/end_of_pei.h"

#include "module/check/failure_trace_line.h"
#include "module/base/mem.h"
#include "module/base/pei_services.h"
#include "module/crypto/sha256.h"
#include "module/fit/fit.h"
#include "module/hw/hw.h"
#include "module/platform/tsc_frequency.h"

const EFI_GUID EndOfPeiPpiGuid = {0x605ea650, 0xc65c, 0x42e1, {0xba, 0x80, 0x91, 0xa5, 0x2a, 0xb6, 0x18, 0xc6}};

const EFI_PEI_NOTIFY_DESCRIPTOR EndOfPeiNotify = {
    EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &EndOfPeiPpiGuid,
    OnEndOfPei,
};

// The PEI core dispatches a PEIM with its file handle. FileHandle is used only
// as a switch: a caller that passes NULL asks for the registration alone,
// without the millisecond of timer polling the TSC measurement costs.
extern "C" EFI_STATUS ModuleEntry(EFI_PEI_FILE_HANDLE FileHandle, const void*) {
  if (FileHandle != nullptr) PublishTscFrequency();
  const PhysAddr services = FindPeiServices();
  return hw::CallNotifyPpi(PeiServiceFunction(services, PEI_SERVICE_NOTIFY_PPI), services, &EndOfPeiNotify);
}

namespace {

// The region's digest equals the manifest's reference digest.
bool RegionMatchesManifest(PhysAddr context) {
  PhysAddr manifest = NULL_PHYS;
  uint8_t digest[MANIFEST_DIGEST_SIZE];
  void* ctx = hw::MutableBytes(context, Sha256ContextSize());
  // With a pool block, the region address and a stack buffer none of these can fail.
  Sha256Begin(ctx);
  Sha256Absorb(ctx, hw::Bytes(Phys(VERIFIED_REGION_BASE), VERIFIED_REGION_SIZE), VERIFIED_REGION_SIZE);
  Sha256Finish(ctx, digest);
  if (EfiError(LocateBootPolicyManifest(&manifest))) return false;
  const uint8_t* reference = hw::Bytes(manifest + MANIFEST_DIGEST_OFFSET, MANIFEST_DIGEST_SIZE);
  return MemCompare(digest, reference, MANIFEST_DIGEST_SIZE) == 0;
}

}  // namespace

EFI_STATUS OnEndOfPei(const void*, const EFI_PEI_NOTIFY_DESCRIPTOR*, void*) {
  const PhysAddr context = AllocateFromPeiPool(Sha256ContextSize());
  if (context != NULL_PHYS && RegionMatchesManifest(context)) return EFI_SUCCESS;

  // Every cause ends here alike; the failing status is deliberately not kept.
  char line[TRACE_LINE_BUFFER_SIZE];
  line[0] = 0;
  hw::Out16(POST_CODE_PORT, POST_CODE_VERIFY_FAILED);
  SendFailureTraceLine(line);
  volatile uint32_t haltFlag = 0;
  while (hw::ReadHaltFlag(&haltFlag) == 0) {
  }
  return EFI_SUCCESS;
}
