// The system calls of the raw disk component, in their Windows shape, behind
// one replaceable interface.
//
// TDirDisk is written against ten Windows calls (version query, free-space
// query, error mode, CreateFileA, DeviceIoControl, SetFilePointer, ReadFile,
// WriteFile, CloseHandle, MessageBoxA). Here they are the virtual operations
// of TDiskApi; the free functions of the same names forward to the current
// instance. The process starts with TLinuxDiskApi, which reports the NT
// platform and opens the files or block devices a host mapped to drive
// letters. Tests install a double (SetDiskApi) that plays either route.
//
// Like the system it stands in for, this layer reports through return values
// and the per-thread last error (kernel.h), never by throwing.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/kernel.h"
#include "platform/wintypes.h"

namespace evc {

// --- constants the disk component and its hosts use ---
constexpr HANDLE INVALID_HANDLE_VALUE = static_cast<HANDLE>(-1);
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;

constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;  // the Windows 9x family
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 1;
constexpr DWORD FILE_SHARE_WRITE = 2;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000u;

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

constexpr UINT SEM_FAILCRITICALERRORS = 1;
constexpr UINT SEM_NOGPFAULTERRORBOX = 2;
constexpr UINT SEM_NOOPENFILEERRORBOX = 0x8000;

// Volume device controls.
constexpr DWORD FSCTL_LOCK_VOLUME = 0x00090018u;
constexpr DWORD FSCTL_UNLOCK_VOLUME = 0x0009001Cu;
constexpr DWORD IOCTL_DISK_GET_LENGTH_INFO = 0x0007405Cu;  // out: 64-bit length in bytes

// VWIN32 device controls of the Windows 9x family.
constexpr DWORD VWIN32_DIOC_DOS_IOCTL = 1;
constexpr DWORD VWIN32_DIOC_DOS_INT25 = 2;  // absolute read
constexpr DWORD VWIN32_DIOC_DOS_INT26 = 3;  // absolute write
constexpr DWORD VWIN32_DIOC_DOS_DRIVEINFO = 6;  // extended absolute read/write (FAT32)

// Message boxes.
constexpr UINT MB_OK = 0x00;
constexpr UINT MB_YESNO = 0x04;
constexpr UINT MB_ICONEXCLAMATION = 0x30;
constexpr int IDOK = 1;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// System error codes of this layer.
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_INVALID_DRIVE = 15;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_SEEK = 25;
constexpr DWORD ERROR_SECTOR_NOT_FOUND = 27;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_LOCK_VIOLATION = 33;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_NOT_LOCKED = 158;

// The version record; dwOSVersionInfoSize must be 148 on entry.
struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize = 0;
  DWORD dwMajorVersion = 0;
  DWORD dwMinorVersion = 0;
  DWORD dwBuildNumber = 0;
  DWORD dwPlatformId = 0;
  char szCSDVersion[128] = {};
};
static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record has its Windows size");

// The register block of a VWIN32 request.
struct DIOC_REGISTERS {
  DWORD reg_EBX = 0;
  DWORD reg_EDX = 0;
  DWORD reg_ECX = 0;
  DWORD reg_EAX = 0;
  DWORD reg_EDI = 0;
  DWORD reg_ESI = 0;
  DWORD reg_Flags = 0;
};
static_assert(sizeof(DIOC_REGISTERS) == 28, "the register block has its Windows size");

// The packet of an absolute disk request, as DOS lays it out.
#pragma pack(push, 1)
struct DISKIO {
  DWORD dwStartSector = 0;
  WORD wSectors = 0;
  DWORD dwBuffer = 0;  // 32-bit address of the transfer buffer
};
#pragma pack(pop)
static_assert(sizeof(DISKIO) == 10, "the disk-I/O packet is packed to 10 bytes");

constexpr DWORD CARRY_FLAG = 1;

// --- the interface ---
class TDiskApi {
 public:
  virtual ~TDiskApi() = default;

  virtual BOOL GetVersionExA(OSVERSIONINFOA* info) = 0;
  virtual BOOL GetDiskFreeSpaceA(const char* rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                                 DWORD* freeClusters, DWORD* totalClusters) = 0;
  virtual UINT SetErrorMode(UINT mode) = 0;
  virtual HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* security,
                             DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) = 0;
  virtual BOOL DeviceIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize, void* outBuffer,
                               DWORD outSize, DWORD* bytesReturned, void* overlapped) = 0;
  // The position is lDistanceToMove alone (sign-extended) when
  // lpDistanceToMoveHigh is null, otherwise the 64-bit value of both halves;
  // the new position's low half is returned and its high half stored back.
  virtual DWORD SetFilePointer(HANDLE file, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD moveMethod) = 0;
  virtual BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) = 0;
  virtual BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                         void* overlapped) = 0;
  virtual BOOL CloseHandle(HANDLE object) = 0;
  virtual int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) = 0;
};

// The instance the free functions below use. Never null: it starts as the
// process-wide TLinuxDiskApi.
TDiskApi& DiskApi();
// Makes `api` current (nullptr: back to the Linux layer) and returns the
// previous one. The caller keeps ownership of what it installs.
TDiskApi* SetDiskApi(TDiskApi* api);

// --- the Linux implementation ---
//
// Platform id 2. A host maps drive letters to files or block devices; only
// mapped paths are ever opened, and only the names "X:\" (free-space query)
// and "\\.\X:" (the volume) reach them. A volume handle behaves like a fixed
// size disk: transfers must start on a sector boundary, span whole sectors
// and lie inside the mapped size, so nothing grows an image file or lands
// short of what was asked. Volume lock and unlock are an exclusive advisory
// lock (flock) on the mapped file. The message box asks on the controlling
// terminal and answers No when there is none.
class TLinuxDiskApi : public TDiskApi {
 public:
  TLinuxDiskApi();
  ~TLinuxDiskApi() override;

  // Maps a letter (either case) to a path; false for a character that is not
  // a letter or an empty path. Mapping a letter again replaces its path.
  bool MapDrive(char letter, const std::string& path);
  void UnmapDrive(char letter);
  void UnmapAll();
  // The mapped path, or an empty string.
  std::string DrivePath(char letter) const;
  // The terminal the message box talks to ("/dev/tty" by default).
  void SetTerminalPath(const std::string& path);

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

  // Number of handles open now (for tests and diagnostics).
  size_t OpenHandleCount() const;

 private:
  struct TOpenVolume {
    ~TOpenVolume();
    int Fd = -1;
    uint32_t SectorSize = 512;
    uint64_t Size = 0;      // addressable bytes: whole sectors only
    uint64_t Position = 0;
    bool CanRead = false;
    bool CanWrite = false;
    bool Locked = false;
  };
  std::shared_ptr<TOpenVolume> Find(HANDLE h) const;

  mutable std::mutex FLock;
  std::map<char, std::string> FDrives;  // upper-case letter -> path
  std::map<HANDLE, std::shared_ptr<TOpenVolume>> FHandles;
  HANDLE FNextHandle = 0x100;
  std::string FTerminal = "/dev/tty";
  UINT FErrorMode = 0;
};

// The process-wide Linux layer (the one DiskApi() starts with).
TLinuxDiskApi& LinuxDiskApi();

// --- the calls, as the disk component makes them ---
inline BOOL GetVersionExA(OSVERSIONINFOA* info) { return DiskApi().GetVersionExA(info); }
inline BOOL GetDiskFreeSpaceA(const char* rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                              DWORD* freeClusters, DWORD* totalClusters) {
  return DiskApi().GetDiskFreeSpaceA(rootPath, sectorsPerCluster, bytesPerSector, freeClusters, totalClusters);
}
inline UINT SetErrorMode(UINT mode) { return DiskApi().SetErrorMode(mode); }
inline HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* security,
                          DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
  return DiskApi().CreateFileA(fileName, desiredAccess, shareMode, security, creationDisposition,
                               flagsAndAttributes, templateFile);
}
inline BOOL DeviceIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize, void* outBuffer,
                            DWORD outSize, DWORD* bytesReturned, void* overlapped) {
  return DiskApi().DeviceIoControl(device, controlCode, inBuffer, inSize, outBuffer, outSize, bytesReturned,
                                   overlapped);
}
inline DWORD SetFilePointer(HANDLE file, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD moveMethod) {
  return DiskApi().SetFilePointer(file, lDistanceToMove, lpDistanceToMoveHigh, moveMethod);
}
inline BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) {
  return DiskApi().ReadFile(file, buffer, bytesToRead, bytesRead, overlapped);
}
inline BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void* overlapped) {
  return DiskApi().WriteFile(file, buffer, bytesToWrite, bytesWritten, overlapped);
}
inline BOOL CloseHandle(HANDLE object) { return DiskApi().CloseHandle(object); }
inline int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  return DiskApi().MessageBoxA(owner, text, caption, type);
}

}  // namespace evc
