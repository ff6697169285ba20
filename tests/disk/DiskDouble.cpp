#include "disk/DiskDouble.h"

#include <cctype>
#include <cstring>

namespace evc::test {

TDiskDouble::TDiskDouble() { FPrevious = SetDiskApi(this); }

TDiskDouble::~TDiskDouble() {
  SetDiskApi(FPrevious == &LinuxDiskApi() ? nullptr : FPrevious);
}

bool TDiskDouble::Take(int& counter) {
  if (counter < 0) return true;
  if (counter == 0) return false;
  --counter;
  return true;
}

size_t TDiskDouble::Count(const std::string& name) const {
  size_t n = 0;
  for (const auto& c : Calls) n += c.Name == name;
  return n;
}

std::vector<TDiskCall> TDiskDouble::Of(const std::string& name) const {
  std::vector<TDiskCall> r;
  for (const auto& c : Calls)
    if (c.Name == name) r.push_back(c);
  return r;
}

std::vector<TDiskCall> TDiskDouble::Requests() const {
  std::vector<TDiskCall> r;
  for (const auto& c : Calls)
    if (c.Name == "DeviceIoControl" && c.HasRegs) r.push_back(c);
  return r;
}

BOOL TDiskDouble::GetVersionExA(OSVERSIONINFOA* info) {
  TDiskCall c{"GetVersionExA"};
  c.Bytes = info ? info->dwOSVersionInfoSize : 0;
  c.Result = !FailVersion && info && info->dwOSVersionInfoSize == 148;
  if (c.Result) {
    info->dwMajorVersion = PlatformId == VER_PLATFORM_WIN32_WINDOWS ? 4 : 5;
    info->dwMinorVersion = 10;
    info->dwBuildNumber = BuildNumber;
    info->dwPlatformId = PlatformId;
  }
  Calls.push_back(c);
  return c.Result;
}

BOOL TDiskDouble::GetDiskFreeSpaceA(const char* rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                                    DWORD* freeClusters, DWORD* totalClusters) {
  TDiskCall c{"GetDiskFreeSpaceA"};
  c.Path = rootPath ? std::string(rootPath) : std::string();
  auto it = c.Path.size() == 3 && c.Path.substr(1) == ":\\" ? Drives.find(c.Path[0]) : Drives.end();
  c.Result = it != Drives.end() && !Take(FailGeometry);
  if (c.Result) {
    *sectorsPerCluster = 8;
    *bytesPerSector = it->second.BytesPerSector;
    *freeClusters = 3;
    *totalClusters = static_cast<DWORD>(it->second.Data.size() / it->second.BytesPerSector / 8);
  } else {
    SetLastError(ERROR_PATH_NOT_FOUND);
  }
  Calls.push_back(c);
  return c.Result;
}

UINT TDiskDouble::SetErrorMode(UINT mode) {
  TDiskCall c{"SetErrorMode"};
  c.Mode = mode;
  Calls.push_back(c);
  UINT previous = FErrorMode;
  FErrorMode = mode;
  return previous;
}

HANDLE TDiskDouble::CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void*,
                                DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  TDiskCall c{"CreateFileA"};
  c.Path = fileName ? fileName : "";
  c.Access = desiredAccess;
  c.Share = shareMode;
  c.Creation = creationDisposition;
  c.Flags = flagsAndAttributes;
  THandle h;
  bool exists = false;
  if (c.Path == "\\\\.\\vwin32") {
    exists = PlatformId == VER_PLATFORM_WIN32_WINDOWS;
    h.Vwin32 = true;
  } else if (c.Path.size() == 6 && c.Path.compare(0, 4, "\\\\.\\") == 0 && c.Path[5] == ':') {
    exists = PlatformId == VER_PLATFORM_WIN32_NT && Drives.count(c.Path[4]);
    h.Drive = c.Path[4];
  }
  HANDLE result = INVALID_HANDLE_VALUE;
  if (exists && !Take(FailOpen)) {
    result = FNext;
    FNext += 4;
    FHandles[result] = h;
  } else {
    SetLastError(ERROR_FILE_NOT_FOUND);
  }
  c.Handle = result;
  c.Result = result != INVALID_HANDLE_VALUE;
  Calls.push_back(c);
  return result;
}

bool TDiskDouble::DosTransfer(char drive, const DISKIO& packet, bool write) {
  auto it = Drives.find(drive);
  if (it == Drives.end()) return false;
  TMemDrive& d = it->second;
  uint64_t off = uint64_t(packet.dwStartSector) * d.BytesPerSector;
  uint64_t len = uint64_t(packet.wSectors) * d.BytesPerSector;
  if (off > d.Data.size() || len > d.Data.size() - off) return false;
  auto* buf = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(packet.dwBuffer));
  if (write)
    std::memcpy(d.Data.data() + off, buf, len);
  else
    std::memcpy(buf, d.Data.data() + off, len);
  return true;
}

// The DOS side of a VWIN32 request: what the registers ask for, answered in
// the carry bit. A block that does not match its control code is refused the
// way DOS refuses a bad function (carry set), so a wrong block shows.
BOOL TDiskDouble::Vwin32Request(DWORD code, DIOC_REGISTERS& regs) {
  bool ok = false;
  auto driveOf = [](DWORD number) { return static_cast<char>('A' + number - 1); };
  if (code == VWIN32_DIOC_DOS_IOCTL && regs.reg_EAX == 0x440D) {
    DWORD cx = regs.reg_ECX & ~0x4000u;
    DWORD number = regs.reg_EBX & 0xFF;
    bool known = number >= 1 && number <= 26 && Drives.count(driveOf(number));
    if (cx == 0x084A) ok = known && (regs.reg_EBX >> 8) == 1 && regs.reg_EDX == 1;
    if (cx == 0x086A) ok = known && regs.reg_EBX == number;
    if (Take(CarryLockUnlock)) ok = false;
  } else if ((code == VWIN32_DIOC_DOS_INT25 || code == VWIN32_DIOC_DOS_INT26) && regs.reg_ECX == 0xFFFF &&
             regs.reg_EAX < 26) {
    DISKIO packet;
    std::memcpy(&packet, reinterpret_cast<const void*>(static_cast<uintptr_t>(regs.reg_EBX)), sizeof packet);
    ok = !Take(CarryTransfer) && DosTransfer(static_cast<char>('A' + regs.reg_EAX), packet,
                                             code == VWIN32_DIOC_DOS_INT26);
  } else if (code == VWIN32_DIOC_DOS_DRIVEINFO && regs.reg_EAX == 0x7305 && regs.reg_ECX == 0xFFFF &&
             regs.reg_EDX >= 1 && regs.reg_EDX <= 26 && regs.reg_ESI <= 1) {
    DISKIO packet;
    std::memcpy(&packet, reinterpret_cast<const void*>(static_cast<uintptr_t>(regs.reg_EBX)), sizeof packet);
    ok = !Take(CarryTransfer) && DosTransfer(driveOf(regs.reg_EDX), packet, regs.reg_ESI == 1);
  }
  if (ok)
    regs.reg_Flags &= ~CARRY_FLAG;
  else
    regs.reg_Flags |= CARRY_FLAG;
  return TRUE;
}

BOOL TDiskDouble::DeviceIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize, void* outBuffer,
                                  DWORD outSize, DWORD* bytesReturned, void*) {
  TDiskCall c{"DeviceIoControl"};
  c.Handle = device;
  c.Code = controlCode;
  c.InSize = inSize;
  c.OutSize = outSize;
  auto it = FHandles.find(device);
  if (it == FHandles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    Calls.push_back(c);
    return FALSE;
  }
  if (it->second.Vwin32) {
    c.HasRegs = inBuffer && inSize == sizeof(DIOC_REGISTERS);
    if (c.HasRegs) std::memcpy(&c.RegsIn, inBuffer, sizeof c.RegsIn);
    if (c.HasRegs && c.RegsIn.reg_EBX > 0xFFFF && c.Code != VWIN32_DIOC_DOS_IOCTL) {
      c.HasPacket = true;
      std::memcpy(&c.Packet, reinterpret_cast<const void*>(static_cast<uintptr_t>(c.RegsIn.reg_EBX)),
                  sizeof c.Packet);
    }
    bool shaped = c.HasRegs && outBuffer && outSize == sizeof(DIOC_REGISTERS);
    if (!shaped || Take(FailIoctl)) {
      c.Result = FALSE;
    } else {
      DIOC_REGISTERS regs = c.RegsIn;
      c.Result = Vwin32Request(controlCode, regs);
      std::memcpy(outBuffer, &regs, sizeof regs);
      c.RegsOut = regs;
      if (bytesReturned) *bytesReturned = sizeof regs;
    }
  } else {
    THandle& h = it->second;
    if (controlCode == FSCTL_LOCK_VOLUME) {
      c.Result = !Take(FailLock);
      if (c.Result) h.Locked = true;
    } else if (controlCode == FSCTL_UNLOCK_VOLUME) {
      c.Result = h.Locked && !Take(FailUnlock);
      if (c.Result) h.Locked = false;
    } else {
      c.Result = FALSE;
    }
  }
  Calls.push_back(c);
  return c.Result;
}

DWORD TDiskDouble::SetFilePointer(HANDLE file, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD moveMethod) {
  TDiskCall c{"SetFilePointer"};
  c.Handle = file;
  c.Mode = moveMethod;
  c.Flags = lpDistanceToMoveHigh != nullptr;
  int64_t target = lpDistanceToMoveHigh
                       ? static_cast<int64_t>((uint64_t(uint32_t(*lpDistanceToMoveHigh)) << 32) | uint32_t(lDistanceToMove))
                       : int64_t(lDistanceToMove);
  c.Position = static_cast<uint64_t>(target);
  auto it = FHandles.find(file);
  DWORD r = INVALID_SET_FILE_POINTER;
  if (it == FHandles.end() || moveMethod != FILE_BEGIN || target < 0 || Take(FailSeek)) {
    SetLastError(ERROR_SEEK);
  } else {
    it->second.Position = static_cast<uint64_t>(target);
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(uint64_t(target) >> 32);
    SetLastError(ERROR_SUCCESS);
    r = static_cast<DWORD>(uint64_t(target));
    c.Result = TRUE;
  }
  Calls.push_back(c);
  return r;
}

BOOL TDiskDouble::ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void*) {
  TDiskCall c{"ReadFile"};
  c.Handle = file;
  c.Bytes = bytesToRead;
  *bytesRead = 0;
  auto it = FHandles.find(file);
  if (it != FHandles.end() && !it->second.Vwin32) {
    THandle& h = it->second;
    TMemDrive& d = Drives[h.Drive];
    c.Position = h.Position;
    bool inside = h.Position <= d.Data.size() && bytesToRead <= d.Data.size() - h.Position;
    if (Take(FailRead) || !inside) {
      // A failing read still moves the position, by a sector when it can:
      // retries must not count on where it was left.
      if (inside && bytesToRead) h.Position += d.BytesPerSector;
    } else {
      DWORD n = bytesToRead;
      if (Take(ShortTransfer) && n >= d.BytesPerSector) n -= d.BytesPerSector;
      std::memcpy(buffer, d.Data.data() + h.Position, n);
      h.Position += n;
      *bytesRead = n;
      c.Result = TRUE;
    }
  }
  Calls.push_back(c);
  return c.Result;
}

BOOL TDiskDouble::WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void*) {
  TDiskCall c{"WriteFile"};
  c.Handle = file;
  c.Bytes = bytesToWrite;
  *bytesWritten = 0;
  auto it = FHandles.find(file);
  if (it != FHandles.end() && !it->second.Vwin32) {
    THandle& h = it->second;
    TMemDrive& d = Drives[h.Drive];
    c.Position = h.Position;
    bool inside = h.Position <= d.Data.size() && bytesToWrite <= d.Data.size() - h.Position;
    if (Take(FailWrite) || !inside) {
      if (inside && bytesToWrite) h.Position += d.BytesPerSector;
    } else {
      DWORD n = bytesToWrite;
      if (Take(ShortTransfer) && n >= d.BytesPerSector) n -= d.BytesPerSector;
      std::memcpy(d.Data.data() + h.Position, buffer, n);
      h.Position += n;
      *bytesWritten = n;
      c.Result = TRUE;
    }
  }
  Calls.push_back(c);
  return c.Result;
}

BOOL TDiskDouble::CloseHandle(HANDLE object) {
  TDiskCall c{"CloseHandle"};
  c.Handle = object;
  c.Result = FHandles.erase(object) ? TRUE : FALSE;
  Calls.push_back(c);
  return c.Result;
}

int TDiskDouble::MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  TDiskCall c{"MessageBoxA"};
  c.Handle = owner;
  c.Text = text ? text : "";
  c.Caption = caption ? caption : "";
  c.Type = type;
  c.Result = TRUE;
  Calls.push_back(c);
  return Answer;
}

}  // namespace evc::test
