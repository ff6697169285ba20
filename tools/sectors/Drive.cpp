#include "Drive.h"

#include "Files.h"

namespace sectors {

using namespace evc;

namespace {

// The exact size, asked of the volume itself: the cluster figures of the
// geometry query round a very large disk down to whole clusters.
bool QueryLength(char letter, uint64_t* bytes) {
  const char path[7] = {'\\', '\\', '.', '\\', letter, ':', 0};
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, bytes, sizeof *bytes, &returned, nullptr);
  CloseHandle(h);
  return ok && returned == sizeof *bytes;
}

}  // namespace

TDrive::TDrive(const TOptions& options)
    : FTrace(LinuxDiskApi()), FScope(&FTrace), FDisk(nullptr), FLetter(options.Drive) {
  for (const auto& [letter, path] : options.Maps) LinuxDiskApi().MapDrive(letter, path);
  FPath = options.Maps.at(FLetter);
  // What the component's creation met (drive C: is usually not mapped) is
  // not this drive's business.
  FTrace.Reset();
  FDisk.SetDriveName(FLetter);
  if (!FDisk.DriveValid()) {
    FWhyInvalid = DiskErrorText(FTrace.FailedCode());
    return;
  }
  FTrace.Reset();
  uint64_t bytes = 0;
  if (QueryLength(FLetter, &bytes) && FDisk.BytesPerSector())
    FSectors = bytes / FDisk.BytesPerSector();
  else
    FSectors = uint64_t(FDisk.TotalClusters()) * FDisk.SectorsPerCluster();
  FTrace.Reset();
}

TDrive::~TDrive() { LinuxDiskApi().UnmapAll(); }

std::string TDrive::Name() const { return std::string("drive ") + FLetter + ": (" + FPath + ")"; }

void TDrive::RequireRange(uint64_t first, uint64_t count) const {
  if (!Valid()) throw TFailure("cannot use " + Name() + ": " + FWhyInvalid);
  if (first >= FSectors || count > FSectors - first) {
    std::string span = count == 1 ? "sector " + std::to_string(first)
                                  : "sectors " + std::to_string(first) + " to " + std::to_string(first + count - 1);
    throw TFailure(span + (count == 1 ? " lies" : " lie") + " past the end of " + Name() + ", which has " + std::to_string(FSectors) +
                   (FSectors == 1 ? " sector" : " sectors"));
  }
}

std::string TDrive::TransferFailure() const {
  const std::string& call = FTrace.FailedCall();
  const std::string why = DiskErrorText(FTrace.FailedCode());
  if (call.empty()) return "the drive refused the transfer";
  if (call == "CreateFileA") return "cannot open it: " + why;
  if (call == "lock") return "cannot lock it: " + why + (FTrace.FailedCode() == ERROR_ACCESS_DENIED ? " (locked by another process?)" : "");
  if (call == "unlock") return "cannot unlock it: " + why;
  if (call == "ReadFile") return "read error: " + why;
  if (call == "WriteFile") return "write error: " + why;
  return call + " failed: " + why;
}

}  // namespace sectors
