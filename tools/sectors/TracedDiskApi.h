// The Linux disk layer with a note of what went wrong.
//
// TDirDisk answers every failure with a bare false. The tool sits this
// layer between the component and the Linux one so that it can tell the
// user why: the first failing call of a transfer and its error code, and
// whether the write warning was shown and how it was answered.
#pragma once
#include <string>

#include "platform/diskapi.h"

namespace sectors {

class TTracedDiskApi : public evc::TDiskApi {
 public:
  explicit TTracedDiskApi(evc::TDiskApi& inner) : FInner(inner) {}

  // Forgets what the previous transfer left.
  void Reset();
  // The first call that failed since Reset, e.g. "ReadFile", and its code.
  const std::string& FailedCall() const { return FFailedCall; }
  evc::DWORD FailedCode() const { return FFailedCode; }
  bool WarningShown() const { return FWarningShown; }
  int WarningAnswer() const { return FWarningAnswer; }

  evc::BOOL GetVersionExA(evc::OSVERSIONINFOA* info) override;
  evc::BOOL GetDiskFreeSpaceA(const char* rootPath, evc::DWORD* sectorsPerCluster, evc::DWORD* bytesPerSector,
                              evc::DWORD* freeClusters, evc::DWORD* totalClusters) override;
  evc::UINT SetErrorMode(evc::UINT mode) override;
  evc::HANDLE CreateFileA(const char* fileName, evc::DWORD desiredAccess, evc::DWORD shareMode, void* security,
                          evc::DWORD creationDisposition, evc::DWORD flagsAndAttributes,
                          evc::HANDLE templateFile) override;
  evc::BOOL DeviceIoControl(evc::HANDLE device, evc::DWORD controlCode, void* inBuffer, evc::DWORD inSize,
                            void* outBuffer, evc::DWORD outSize, evc::DWORD* bytesReturned,
                            void* overlapped) override;
  evc::DWORD SetFilePointer(evc::HANDLE file, evc::LONG lDistanceToMove, evc::LONG* lpDistanceToMoveHigh,
                            evc::DWORD moveMethod) override;
  evc::BOOL ReadFile(evc::HANDLE file, void* buffer, evc::DWORD bytesToRead, evc::DWORD* bytesRead,
                     void* overlapped) override;
  evc::BOOL WriteFile(evc::HANDLE file, const void* buffer, evc::DWORD bytesToWrite, evc::DWORD* bytesWritten,
                      void* overlapped) override;
  evc::BOOL CloseHandle(evc::HANDLE object) override;
  int MessageBoxA(evc::HWND owner, const char* text, const char* caption, evc::UINT type) override;

 private:
  evc::BOOL Note(evc::BOOL ok, const char* call);

  evc::TDiskApi& FInner;
  std::string FFailedCall;
  evc::DWORD FFailedCode = 0;
  bool FWarningShown = false;
  int FWarningAnswer = 0;
};

// A short text for a system error code of the disk layer.
std::string DiskErrorText(evc::DWORD code);

// Installs `api` as the disk layer for the life of this object.
class TDiskApiScope {
 public:
  explicit TDiskApiScope(evc::TDiskApi* api) : FPrevious(evc::SetDiskApi(api)) {}
  ~TDiskApiScope() { evc::SetDiskApi(FPrevious == &evc::LinuxDiskApi() ? nullptr : FPrevious); }
  TDiskApiScope(const TDiskApiScope&) = delete;
  TDiskApiScope& operator=(const TDiskApiScope&) = delete;

 private:
  evc::TDiskApi* FPrevious;
};

}  // namespace sectors
