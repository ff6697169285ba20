// One mapped drive opened through a TDirDisk, with the traced disk layer
// that explains its failures.
#pragma once
#include <cstdint>
#include <string>

#include "Options.h"
#include "TracedDiskApi.h"
#include "disk/DirDisk.h"

namespace sectors {

class TDrive {
 public:
  // Maps every --map letter and selects the chosen drive. The drive may be
  // invalid afterwards; Valid and WhyInvalid say so.
  explicit TDrive(const TOptions& options);
  ~TDrive();
  TDrive(const TDrive&) = delete;
  TDrive& operator=(const TDrive&) = delete;

  evc::TDirDisk& Disk() { return FDisk; }
  TTracedDiskApi& Trace() { return FTrace; }
  char Letter() const { return FLetter; }
  const std::string& Path() const { return FPath; }
  // "drive S: (/path)" for messages.
  std::string Name() const;

  bool Valid() const { return FDisk.DriveValid(); }
  std::string WhyInvalid() const { return FWhyInvalid; }
  uint32_t BytesPerSector() const { return FDisk.BytesPerSector(); }
  uint64_t SizeInSectors() const { return FSectors; }

  // Throws TFailure unless the drive is valid and sectors [first, first +
  // count) all lie on it.
  void RequireRange(uint64_t first, uint64_t count) const;
  // The reason the last transfer failed, from the traced calls.
  std::string TransferFailure() const;

 private:
  TTracedDiskApi FTrace;
  TDiskApiScope FScope;
  evc::TDirDisk FDisk;
  char FLetter;
  std::string FPath;
  std::string FWhyInvalid;
  uint64_t FSectors = 0;
};

}  // namespace sectors
