// A stand-in for the disk calls that can play either Windows route over
// memory drives, fail any step on demand and records every call with the
// request blocks it carried.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/diskapi.h"

namespace evc::test {

struct TDiskCall {
  explicit TDiskCall(std::string name = {}) : Name(std::move(name)) {}
  std::string Name;  // the call: "GetVersionExA", "ReadFile", ...
  HANDLE Handle = 0;
  std::string Path;  // CreateFileA, GetDiskFreeSpaceA
  DWORD Access = 0, Share = 0, Creation = 0, Flags = 0;
  DWORD Code = 0;            // DeviceIoControl
  DWORD InSize = 0, OutSize = 0;
  bool HasRegs = false;
  DIOC_REGISTERS RegsIn, RegsOut;  // VWIN32 requests
  bool HasPacket = false;
  DISKIO Packet;  // the packet EBX pointed at
  uint64_t Position = 0;  // file position before a read or write; seek target
  DWORD Bytes = 0;        // bytes asked for
  UINT Mode = 0;          // SetErrorMode
  std::string Text, Caption;
  UINT Type = 0;
  BOOL Result = FALSE;
};

struct TMemDrive {
  uint32_t BytesPerSector = 512;
  std::vector<uint8_t> Data;
};

class TDiskDouble : public TDiskApi {
 public:
  TDiskDouble();   // installs itself as the current disk layer
  ~TDiskDouble() override;  // and puts back the previous one

  // --- what the system looks like ---
  DWORD PlatformId = VER_PLATFORM_WIN32_NT;
  DWORD BuildNumber = 1381;  // full 32-bit build field
  std::map<char, TMemDrive> Drives;
  int Answer = IDYES;  // what the message box answers

  // --- failures on demand (a count of calls to fail; -1 is every call) ---
  int FailOpen = 0;        // CreateFileA of a volume or of VWIN32
  int FailRead = 0;        // ReadFile
  int FailWrite = 0;       // WriteFile
  int ShortTransfer = 0;   // ReadFile/WriteFile succeed but move one sector less
  int FailSeek = 0;        // SetFilePointer
  int FailLock = 0;        // FSCTL_LOCK_VOLUME
  int FailUnlock = 0;      // FSCTL_UNLOCK_VOLUME
  int FailGeometry = 0;    // GetDiskFreeSpaceA
  int FailIoctl = 0;       // VWIN32 DeviceIoControl returns FALSE
  int CarryTransfer = 0;   // VWIN32 absolute read/write returns with carry set
  int CarryLockUnlock = 0; // VWIN32 lock/unlock returns with carry set
  bool FailVersion = false;

  std::vector<TDiskCall> Calls;
  void Clear() { Calls.clear(); }
  size_t Count(const std::string& name) const;
  // Calls of that name, in order.
  std::vector<TDiskCall> Of(const std::string& name) const;
  // VWIN32 requests only (DeviceIoControl on the VWIN32 handle).
  std::vector<TDiskCall> Requests() const;
  size_t OpenHandles() const { return FHandles.size(); }
  UINT ErrorMode() const { return FErrorMode; }

  BOOL GetVersionExA(OSVERSIONINFOA* info) override;
  BOOL GetDiskFreeSpaceA(const char* rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                         DWORD* freeClusters, DWORD* totalClusters) override;
  UINT SetErrorMode(UINT mode) override;
  HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* security,
                     DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) override;
  BOOL DeviceIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize, void* outBuffer,
                       DWORD outSize, DWORD* bytesReturned, void* overlapped) override;
  DWORD SetFilePointer(HANDLE file, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD moveMethod) override;
  BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) override;
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                 void* overlapped) override;
  BOOL CloseHandle(HANDLE object) override;
  int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) override;

 private:
  struct THandle {
    bool Vwin32 = false;
    char Drive = 0;
    uint64_t Position = 0;
    bool Locked = false;
  };
  static bool Take(int& counter);
  BOOL Vwin32Request(DWORD code, DIOC_REGISTERS& regs);
  bool DosTransfer(char drive, const DISKIO& packet, bool write);

  std::map<HANDLE, THandle> FHandles;
  HANDLE FNext = 0x1000;
  UINT FErrorMode = 0;
  TDiskApi* FPrevious = nullptr;
};

}  // namespace evc::test
