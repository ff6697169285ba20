#include "TracedDiskApi.h"

namespace sectors {

using namespace evc;

void TTracedDiskApi::Reset() {
  FFailedCall.clear();
  FFailedCode = 0;
  FWarningShown = false;
  FWarningAnswer = 0;
}

// Keeps the first failure: later calls (an unlock, a close, the component
// querying its previous drive again) would only hide the cause.
BOOL TTracedDiskApi::Note(BOOL ok, const char* call) {
  if (!ok && FFailedCall.empty()) {
    FFailedCall = call;
    FFailedCode = GetLastError();
  }
  return ok;
}

BOOL TTracedDiskApi::GetVersionExA(OSVERSIONINFOA* info) { return Note(FInner.GetVersionExA(info), "GetVersionExA"); }

BOOL TTracedDiskApi::GetDiskFreeSpaceA(const char* rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                                       DWORD* freeClusters, DWORD* totalClusters) {
  return Note(FInner.GetDiskFreeSpaceA(rootPath, sectorsPerCluster, bytesPerSector, freeClusters, totalClusters),
              "GetDiskFreeSpaceA");
}

UINT TTracedDiskApi::SetErrorMode(UINT mode) { return FInner.SetErrorMode(mode); }

HANDLE TTracedDiskApi::CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* security,
                                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
  HANDLE h = FInner.CreateFileA(fileName, desiredAccess, shareMode, security, creationDisposition,
                                flagsAndAttributes, templateFile);
  Note(h != INVALID_HANDLE_VALUE, "CreateFileA");
  return h;
}

BOOL TTracedDiskApi::DeviceIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize,
                                     void* outBuffer, DWORD outSize, DWORD* bytesReturned, void* overlapped) {
  return Note(FInner.DeviceIoControl(device, controlCode, inBuffer, inSize, outBuffer, outSize, bytesReturned,
                                     overlapped),
              controlCode == FSCTL_LOCK_VOLUME     ? "lock"
              : controlCode == FSCTL_UNLOCK_VOLUME ? "unlock"
                                                   : "DeviceIoControl");
}

DWORD TTracedDiskApi::SetFilePointer(HANDLE file, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh,
                                     DWORD moveMethod) {
  DWORD r = FInner.SetFilePointer(file, lDistanceToMove, lpDistanceToMoveHigh, moveMethod);
  Note(!(r == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS), "SetFilePointer");
  return r;
}

BOOL TTracedDiskApi::ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) {
  return Note(FInner.ReadFile(file, buffer, bytesToRead, bytesRead, overlapped), "ReadFile");
}

BOOL TTracedDiskApi::WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                               void* overlapped) {
  return Note(FInner.WriteFile(file, buffer, bytesToWrite, bytesWritten, overlapped), "WriteFile");
}

BOOL TTracedDiskApi::CloseHandle(HANDLE object) { return Note(FInner.CloseHandle(object), "CloseHandle"); }

int TTracedDiskApi::MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  FWarningShown = true;
  FWarningAnswer = FInner.MessageBoxA(owner, text, caption, type);
  return FWarningAnswer;
}

std::string DiskErrorText(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS: return "no error code";
    case ERROR_FILE_NOT_FOUND: return "no such file";
    case ERROR_PATH_NOT_FOUND: return "path not found";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_INVALID_HANDLE: return "invalid handle";
    case ERROR_NOT_ENOUGH_MEMORY: return "not enough memory";
    case ERROR_WRITE_PROTECT: return "write-protected";
    case ERROR_NOT_READY: return "device not ready";
    case ERROR_SECTOR_NOT_FOUND: return "sector not found";
    case ERROR_WRITE_FAULT: return "write fault";
    case ERROR_READ_FAULT: return "read fault";
    case ERROR_SHARING_VIOLATION: return "in use by another process";
    case ERROR_NOT_SUPPORTED: return "not a regular file or block device";
    case ERROR_INVALID_PARAMETER: return "invalid parameter";
    case ERROR_INVALID_NAME: return "invalid name";
    case ERROR_NOT_LOCKED: return "not locked";
    default: return "error " + std::to_string(code);
  }
}

}  // namespace sectors
