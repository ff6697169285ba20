#include "disk/DirDisk.h"

#include <sys/mman.h>

#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace evc {

const char* const DirDiskBanner = "TDirDisk 1.0 - absolute disk sectors (evcomp)";

namespace {

// --- state held once for all objects ---
//
// The handles, the register block and the disk-I/O packet belong to the one
// request sequence running at a time; nothing here survives a transfer
// except a volume handle that was already open when the transfer began.
HANDLE gVwin32 = INVALID_HANDLE_VALUE;
HANDLE gVolume = INVALID_HANDLE_VALUE;
bool gOpenedHere = false;
// The temporary block of the NT transfers, shared like the other scratch values.
std::vector<uint8_t> gBlock;
constexpr size_t kKeptBlockBytes = 1 << 20;
DIOC_REGISTERS gRegs;
DWORD gBytesReturned = 0;
BOOL gLastResult = FALSE;
DWORD gControlCode = 0;
DWORD gBytesTransferred = 0;

constexpr char kVwin32Path[] = "\\\\.\\vwin32";
constexpr DWORD kEaxDosIoctl = 0x440D;
constexpr DWORD kEaxExtendedAbsolute = 0x7305;
constexpr DWORD kLockCx = 0x084A;
constexpr DWORD kUnlockCx = 0x086A;
constexpr DWORD kFat32LockCx = 0x4000;  // added to the lock codes above build 1000
constexpr uint16_t kLastClassicBuild = 1000;
constexpr UINT kWarnStyle = MB_YESNO | MB_ICONEXCLAMATION;  // 0x34

// Memory a VWIN32 request can point at. The register block and the disk-I/O
// packet carry 32-bit addresses, as they do on the 32-bit systems that speak
// this interface, so the packet and the transfer buffer it names live below
// 4 GiB: the packet in a page of its own, kept for the process, and each
// transfer's data in a block taken for that transfer.
class TLowBlock {
 public:
  explicit TLowBlock(size_t size) : FSize(size ? size : 1) {
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_32BIT
    flags |= MAP_32BIT;
#endif
    void* p = mmap(nullptr, FSize, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (p == MAP_FAILED) return;
    if (reinterpret_cast<uintptr_t>(p) + FSize - 1 > 0xFFFFFFFFull) {
      munmap(p, FSize);
      return;
    }
    FData = static_cast<uint8_t*>(p);
  }
  ~TLowBlock() {
    if (FData) munmap(FData, FSize);
  }
  TLowBlock(const TLowBlock&) = delete;
  TLowBlock& operator=(const TLowBlock&) = delete;

  uint8_t* Data() const { return FData; }
  DWORD Address() const { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(FData)); }

 private:
  size_t FSize;
  uint8_t* FData = nullptr;
};

DISKIO* Packet() {
  static TLowBlock block(4096);
  return reinterpret_cast<DISKIO*>(block.Data());
}

// One VWIN32 request: the register block goes in and comes back.
BOOL SendRequest(DWORD controlCode) {
  gControlCode = controlCode;
  gLastResult = DeviceIoControl(gVwin32, controlCode, &gRegs, sizeof gRegs, &gRegs, sizeof gRegs,
                                &gBytesReturned, nullptr);
  return gLastResult;
}

void PrepareLock(DWORD driveNumber, bool extended) {
  gRegs.reg_EAX = kEaxDosIoctl;
  gRegs.reg_EBX = 0x100 + driveNumber;  // lock level 1
  gRegs.reg_ECX = kLockCx + (extended ? kFat32LockCx : 0);
  gRegs.reg_EDX = 1;  // permissions
  gRegs.reg_Flags = 1;
}

void PrepareUnlock(DWORD driveNumber, bool extended) {
  gRegs.reg_EAX = kEaxDosIoctl;
  gRegs.reg_EBX = driveNumber;
  gRegs.reg_ECX = kUnlockCx + (extended ? kFat32LockCx : 0);
  gRegs.reg_Flags = 1;
}

// The absolute read or write request; answers its control code.
DWORD PrepareTransfer(DWORD driveIndex, bool extended, bool write, DWORD packetAddress) {
  gRegs.reg_EBX = packetAddress;
  gRegs.reg_ECX = 0xFFFF;
  gRegs.reg_Flags = 1;
  if (extended) {
    gRegs.reg_EAX = kEaxExtendedAbsolute;
    gRegs.reg_EDX = driveIndex + 1;
    gRegs.reg_ESI = write ? 1 : 0;
    return VWIN32_DIOC_DOS_DRIVEINFO;
  }
  gRegs.reg_EAX = driveIndex;
  return write ? VWIN32_DIOC_DOS_INT26 : VWIN32_DIOC_DOS_INT25;
}

void OpenVwin32() {
  gVwin32 = CreateFileA(kVwin32Path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, 0, FILE_FLAG_DELETE_ON_CLOSE, 0);
}

void CloseVwin32() {
  if (gVwin32 != INVALID_HANDLE_VALUE) CloseHandle(gVwin32);
  gVwin32 = INVALID_HANDLE_VALUE;
}

// Positions the volume at a 64-bit offset and confirms it got there. A seek
// that fails or lands elsewhere must never be followed by a transfer.
bool SeekVolume(uint64_t offset) {
  LONG high = static_cast<LONG>(static_cast<uint32_t>(offset >> 32));
  SetLastError(ERROR_SUCCESS);
  DWORD low = SetFilePointer(gVolume, static_cast<LONG>(static_cast<uint32_t>(offset)), &high, FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) return false;
  uint64_t reached = (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low;
  return reached == offset;
}

}  // namespace

// --- class information ---
const TClassInfo& TDirDisk::StaticClassInfo() {
  using P = Published<TDirDisk>;
  static const TClassInfo info(
      "TDirDisk", &TComponent::StaticClassInfo(),
      {P::String("About", &TDirDisk::About, &TDirDisk::SetAbout),
       P::String("DriveName", &TDirDisk::DriveNameText, &TDirDisk::SetDriveNameText).WithDefault(std::string("C")),
       P::Integer("FirstSector", &TDirDisk::FirstSector, &TDirDisk::SetFirstSector).WithDefault(int64_t(0)),
       P::Integer("Sectors", &TDirDisk::Sectors, &TDirDisk::SetSectors).WithDefault(int64_t(1)),
       P::Boolean("NeedDiskLock", &TDirDisk::NeedDiskLock, &TDirDisk::SetNeedDiskLock).WithDefault(false),
       P::Boolean("NeedWriteWarn", &TDirDisk::NeedWriteWarn, &TDirDisk::SetNeedWriteWarn).WithDefault(true),
       // 1 to 25 is the range the type declares, but the field takes any
       // byte and 0 is how transfers are switched off; a form carries
       // whatever the component holds, so that reading back never refuses
       // what was written, nor turns a disabled component into one that
       // writes to the disk again.
       P::Integer("Retries", &TDirDisk::Retries, &TDirDisk::SetRetries).WithDefault(int64_t(2))},
      &CreateComponentOf<TDirDisk>);
  return info;
}

static const bool registered = (RegisterComponentClass(TDirDisk::StaticClassInfo()), true);

// --- construction ---
TDirDisk::TDirDisk(TComponent* owner) : TComponent(owner) {
  FNeedDiskLock = false;
  FNeedWriteWarn = true;
  OSVERSIONINFOA version;
  version.dwOSVersionInfoSize = sizeof version;
  if (GetVersionExA(&version)) {
    FBuildNumber = static_cast<uint16_t>(version.dwBuildNumber & 0xFFFF);
    FPlatformId = version.dwPlatformId;
  }
  FRetries = 2;
  SetDriveName('C');
  SetAbout(std::string());
  FSectors = 1;
}

// Closes nothing: a transfer leaves no handle of its own open.
TDirDisk::~TDirDisk() = default;

void TDirDisk::SetAbout(const std::string&) { FAbout = DirDiskBanner; }

void TDirDisk::QueryGeometry(char letter, bool* ok) {
  char root[4] = {letter, ':', '\\', 0};
  DWORD perCluster = 0, bytes = 0, freeCl = 0, total = 0;
  *ok = GetDiskFreeSpaceA(root, &perCluster, &bytes, &freeCl, &total) != FALSE;
  if (*ok) {
    FSectorsPerCluster = perCluster;
    FBytesPerSector = bytes;
    FFreeClusters = freeCl;
    FTotalClusters = total;
  }
}

void TDirDisk::SetDriveName(char value) {
  unsigned char u = static_cast<unsigned char>(value);
  bool letter = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
  if (!letter) {
    FDriveValid = false;
    return;
  }
  char upper = static_cast<char>(u >= 'a' ? u - 'a' + 'A' : u);
  bool ok = false;
  QueryGeometry(upper, &ok);
  if (ok) {
    FDriveName = upper;
    FDriveValid = true;
  } else {
    bool again = false;
    QueryGeometry(FDriveName, &again);
    FDriveValid = false;
  }
}

void TDirDisk::SetDriveNameText(const std::string& value) {
  if (value.size() == 1)
    SetDriveName(value[0]);
  else
    FDriveValid = false;
}

void TDirDisk::SetFirstSector(uint32_t value) {
  if (value != FFirstSector) FFirstSector = value;
}

void TDirDisk::SetSectors(uint32_t value) {
  if (value != FSectors) FSectors = value;
}

// --- transfers ---
bool TDirDisk::ReadSectors(void* buffer, size_t length) {
  // The product is taken in 64 bits: in 32 it can wrap to a small number and
  // let a short buffer through.
  uint64_t needed = uint64_t(FSectors) * FBytesPerSector;
  if (uint64_t(length) < needed || !FDriveValid) return false;
  return Transfer(buffer, false);
}

bool TDirDisk::WriteSectors(const void* buffer, size_t length) {
  uint64_t needed = uint64_t(FSectors) * FBytesPerSector;
  if (uint64_t(length) < needed || !FDriveValid) return false;
  if (FNeedWriteWarn) {
    std::string text = "Dangerous!\rDo you want to write to the drive ";
    text += FDriveName;
    text += ": really?";
    if (MessageBoxA(0, text.c_str(), "Attention", kWarnStyle) != IDYES) return false;
  }
  // Both routes copy the data before handing it on, so the caller's buffer
  // is only ever read.
  return Transfer(const_cast<void*>(buffer), true);
}

bool TDirDisk::Transfer(void* buffer, bool write) {
  auto* data = static_cast<uint8_t*>(buffer);
  bool result = false;
  if (FPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    for (unsigned attempt = 0; attempt < FRetries; ++attempt) {
      result = write ? Win9xWrite(FFirstSector, data, FSectors) : Win9xRead(FFirstSector, data, FSectors);
      if (result) break;
    }
  } else if (FPlatformId == VER_PLATFORM_WIN32_NT) {
    // Offsets are 64-bit: a sector past 4 GiB is reached where it lies. A
    // transfer that cannot be expressed to the system (an offset past the
    // signed 64-bit file position, or more than 4 GiB in one call) is
    // refused rather than cut down.
    uint64_t offset = uint64_t(FFirstSector) * FBytesPerSector;
    uint64_t bytes = uint64_t(FSectors) * FBytesPerSector;
    if (offset > uint64_t(std::numeric_limits<int64_t>::max()) || bytes > 0xFFFFFFFFull) return false;
    for (unsigned attempt = 0; attempt < FRetries; ++attempt) {
      result = NtTransfer(FDriveName, offset, data, static_cast<uint32_t>(bytes), write);
      if (result) break;
    }
  }
  return result;
}

// The disk-I/O packet counts sectors in 16 bits; a longer transfer is
// refused here before anything is sent, since a truncated count would
// transfer a different amount than asked for.
bool TDirDisk::Win9xRead(uint32_t startSector, uint8_t* buffer, uint32_t count) {
  if (count > 0xFFFF) return false;
  uint64_t bytes = uint64_t(count) * FBytesPerSector;
  DISKIO* packet = Packet();
  if (!packet || bytes > std::numeric_limits<size_t>::max()) return false;
  TLowBlock block(static_cast<size_t>(bytes));
  if (!block.Data()) return false;
  const bool extended = FBuildNumber > kLastClassicBuild;
  const DWORD driveIndex = static_cast<DWORD>(FDriveName - 'A');

  packet->dwStartSector = startSector;
  packet->wSectors = static_cast<WORD>(count);
  packet->dwBuffer = block.Address();
  OpenVwin32();
  if (gVwin32 == INVALID_HANDLE_VALUE) return false;
  if (FNeedDiskLock) {
    PrepareLock(driveIndex + 1, extended);
    SendRequest(VWIN32_DIOC_DOS_IOCTL);
  }
  DWORD code = PrepareTransfer(driveIndex, extended, false, static_cast<DWORD>(reinterpret_cast<uintptr_t>(packet)));
  BOOL readOk = SendRequest(code);
  // The unlock request reuses the register block, so the read's carry bit
  // is taken before it is overwritten.
  bool carry = gRegs.reg_Flags & CARRY_FLAG;
  if (FNeedDiskLock) {
    PrepareUnlock(driveIndex + 1, extended);
    SendRequest(VWIN32_DIOC_DOS_IOCTL);
  }
  CloseVwin32();
  bool ok = readOk && !carry;
  if (ok) {
    std::memcpy(buffer, block.Data(), static_cast<size_t>(bytes));
    gBytesTransferred = static_cast<DWORD>(bytes);
  }
  return ok;
}

bool TDirDisk::Win9xWrite(uint32_t startSector, const uint8_t* buffer, uint32_t count) {
  if (count > 0xFFFF) return false;
  uint64_t bytes = uint64_t(count) * FBytesPerSector;
  DISKIO* packet = Packet();
  if (!packet || bytes > std::numeric_limits<size_t>::max()) return false;
  TLowBlock block(static_cast<size_t>(bytes));
  if (!block.Data()) return false;
  std::memcpy(block.Data(), buffer, static_cast<size_t>(bytes));
  const bool extended = FBuildNumber > kLastClassicBuild;
  const DWORD driveIndex = static_cast<DWORD>(FDriveName - 'A');

  // Writes always lock the volume, whatever NeedDiskLock says.
  PrepareLock(driveIndex + 1, extended);
  OpenVwin32();
  if (gVwin32 == INVALID_HANDLE_VALUE) return false;
  SendRequest(VWIN32_DIOC_DOS_IOCTL);
  packet->dwStartSector = startSector;
  packet->wSectors = static_cast<WORD>(count);
  packet->dwBuffer = block.Address();
  DWORD code = PrepareTransfer(driveIndex, extended, true, static_cast<DWORD>(reinterpret_cast<uintptr_t>(packet)));
  bool ok = SendRequest(code) && !(gRegs.reg_Flags & CARRY_FLAG);
  PrepareUnlock(driveIndex + 1, extended);
  SendRequest(VWIN32_DIOC_DOS_IOCTL);
  CloseVwin32();
  if (ok) gBytesTransferred = static_cast<DWORD>(bytes);
  return ok;
}

bool TDirDisk::NtTransfer(char letter, uint64_t offset, uint8_t* buffer, uint32_t byteCount, bool write) {
  bool result = false;
  if (gVolume == INVALID_HANDLE_VALUE) {
    char path[7] = {'\\', '\\', '.', '\\', letter, ':', 0};
    SetErrorMode(SEM_FAILCRITICALERRORS);
    gVolume = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, 0);
    SetErrorMode(4);
    gOpenedHere = gVolume != INVALID_HANDLE_VALUE;
  }
  if (gVolume != INVALID_HANDLE_VALUE) {
    bool locked = !FNeedDiskLock ||
                  DeviceIoControl(gVolume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &gBytesReturned, nullptr);
    if (locked) {
      std::vector<uint8_t>& block = gBlock;
      bool ok = false;
      try {
        // Grown, never refilled: zeroing 64 KiB on every call costs as much
        // as the system calls of the transfer.
        if (block.size() < byteCount) block.resize(byteCount);
      } catch (const std::bad_alloc&) {
        block.clear();
      }
      if (block.size() >= byteCount) {
        for (unsigned attempt = 0; attempt < FRetries && !ok; ++attempt) {
          // Every attempt starts from the offset again: a failed attempt may
          // have moved the position, and a retry elsewhere would read, or
          // worse write, other sectors.
          if (!SeekVolume(offset)) continue;
          gBytesTransferred = 0;
          if (write) {
            std::memcpy(block.data(), buffer, byteCount);
            gLastResult = WriteFile(gVolume, block.data(), byteCount, &gBytesTransferred, nullptr);
          } else {
            gLastResult = ReadFile(gVolume, block.data(), byteCount, &gBytesTransferred, nullptr);
            // What a failed read did not fill holds an earlier transfer's
            // bytes, perhaps of another drive: the caller gets zeros there.
            const DWORD filled = gBytesTransferred < byteCount ? gBytesTransferred : byteCount;
            if (!gLastResult || filled != byteCount) std::memset(block.data() + filled, 0, byteCount - filled);
            std::memcpy(buffer, block.data(), byteCount);
          }
          // A call that moved fewer bytes than asked did not do the transfer.
          ok = gLastResult && gBytesTransferred == byteCount;
        }
      }
      // Small blocks are kept for the next transfer; a huge one is given back.
      if (block.size() > kKeptBlockBytes) std::vector<uint8_t>().swap(block);
      if (FNeedDiskLock && ok)
        result = DeviceIoControl(gVolume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &gBytesReturned, nullptr);
      else
        result = ok;
    }
  }
  if (gOpenedHere) {
    if (gVolume != INVALID_HANDLE_VALUE) CloseHandle(gVolume);
    CloseVwin32();
    gVolume = INVALID_HANDLE_VALUE;
    gOpenedHere = false;
  }
  return result;
}

}  // namespace evc
