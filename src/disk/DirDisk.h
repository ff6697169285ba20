// TDirDisk: reads and writes absolute sectors of a drive, below the file
// system.
//
// The route follows the platform the version query reports: on the Windows
// 9x family DOS absolute-disk requests go through the VWIN32 device; on the
// NT family (which the Linux disk layer reports) the volume "\\.\X:" is
// opened and read or written like a file. Every failure is a false result;
// nothing is raised.
//
// The device handles, the VWIN32 register block, the disk-I/O packet and the
// drive index of the Windows 9x route are held once for all objects, so
// transfers of different objects must not overlap, and on the Windows 9x
// route every object uses the drive of the latest successful DriveName
// assignment of any object.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Component.h"
#include "platform/diskapi.h"

namespace evc {

using TRetries = uint8_t;  // declared range 1 to 25; 0 makes every transfer fail

class TDirDisk : public TComponent {
  EVC_CLASS(TDirDisk)
 public:
  explicit TDirDisk(TComponent* owner);
  ~TDirDisk() override;

  // The version banner; assigning anything stores the banner again.
  const std::string& About() const { return FAbout; }
  void SetAbout(const std::string& value);

  // The upper-case drive letter in use. Assigning a letter (either case)
  // queries its geometry: on success the letter is taken and the drive is
  // valid; on failure the letter stays, its geometry is queried again and
  // the drive is invalid. A character that is not a letter only makes the
  // drive invalid.
  char DriveName() const { return FDriveName; }
  void SetDriveName(char value);

  uint32_t FirstSector() const { return FFirstSector; }
  void SetFirstSector(uint32_t value);
  uint32_t Sectors() const { return FSectors; }
  void SetSectors(uint32_t value);

  bool NeedDiskLock() const { return FNeedDiskLock; }
  void SetNeedDiskLock(bool value) { FNeedDiskLock = value; }
  bool NeedWriteWarn() const { return FNeedWriteWarn; }
  void SetNeedWriteWarn(bool value) { FNeedWriteWarn = value; }
  TRetries Retries() const { return FRetries; }
  void SetRetries(TRetries value) { FRetries = value; }

  // Reads Sectors sectors from FirstSector into Buffer, which holds Length bytes.
  bool ReadSectors(void* buffer, size_t length);
  // Writes Sectors sectors from Buffer (Length bytes) starting at
  // FirstSector, after the write warning when NeedWriteWarn is set. The
  // caller's buffer is not touched.
  bool WriteSectors(const void* buffer, size_t length);

  // Results of the latest geometry query and the latest DriveName assignment.
  bool DriveValid() const { return FDriveValid; }
  uint32_t BytesPerSector() const { return FBytesPerSector; }
  uint32_t SectorsPerCluster() const { return FSectorsPerCluster; }
  uint32_t FreeClusters() const { return FFreeClusters; }
  uint32_t TotalClusters() const { return FTotalClusters; }
  // The low 16 bits of the system build number, read at creation.
  uint16_t BuildNumber() const { return FBuildNumber; }

  // The form-file face of DriveName: a one-character string. Anything else
  // is not a letter and makes the drive invalid.
  std::string DriveNameText() const { return std::string(1, FDriveName); }
  void SetDriveNameText(const std::string& value);

 private:
  void QueryGeometry(char letter, bool* ok);
  bool Transfer(void* buffer, bool write);
  bool Win9xRead(uint32_t startSector, uint8_t* buffer, uint32_t count);
  bool Win9xWrite(uint32_t startSector, const uint8_t* buffer, uint32_t count);
  bool NtTransfer(char letter, uint64_t offset, uint8_t* buffer, uint32_t byteCount, bool write);

  std::string FAbout;
  uint16_t FBuildNumber = 0;
  char FDriveName = 'C';
  uint32_t FFirstSector = 0;
  uint32_t FSectors = 1;
  uint32_t FSectorsPerCluster = 0;
  uint32_t FBytesPerSector = 0;
  uint32_t FFreeClusters = 0;
  uint32_t FTotalClusters = 0;
  bool FNeedDiskLock = false;
  bool FNeedWriteWarn = true;
  bool FDriveValid = false;
  TRetries FRetries = 2;
  DWORD FPlatformId = 0;
};

// The banner About always reads.
extern const char* const DirDiskBanner;

}  // namespace evc
