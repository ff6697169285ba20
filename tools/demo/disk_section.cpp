// Demo section: the raw disk component on a temporary image file mapped to
// a drive letter: sectors written, read back, found where they belong in
// the file, and a write that nobody confirmed refused.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "demo.h"
#include "disk/DirDisk.h"

namespace {

using namespace evc;

constexpr char kLetter = 'Z';
constexpr uint32_t kImageSectors = 64;

std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x ", p[i]);
    s += b;
  }
  return s;
}

std::string Text(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += p[i] >= 0x20 && p[i] < 0x7F ? static_cast<char>(p[i]) : '.';
  return s;
}

// The temporary image, its drive letter and the terminal setting are put
// back however the section ends.
struct TScratchImage {
  std::string Path;
  std::string PreviousMapping;
  TScratchImage() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/evc-demo-disk-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    int fd = ::mkstemp(name.data());
    if (fd < 0) return;
    bool sized = ::ftruncate(fd, off_t(kImageSectors) * 512) == 0;
    ::close(fd);
    Path = name.data();
    if (!sized) {
      ::unlink(Path.c_str());
      Path.clear();
      return;
    }
    PreviousMapping = LinuxDiskApi().DrivePath(kLetter);
    LinuxDiskApi().MapDrive(kLetter, Path);
  }
  ~TScratchImage() {
    if (Path.empty()) return;
    LinuxDiskApi().SetTerminalPath("/dev/tty");
    if (PreviousMapping.empty())
      LinuxDiskApi().UnmapDrive(kLetter);
    else
      LinuxDiskApi().MapDrive(kLetter, PreviousMapping);
    ::unlink(Path.c_str());
  }
};

bool RunDiskSection() {
  TScratchImage image;
  if (image.Path.empty()) return false;
  demo::Say("image", image.Path + " (" + std::to_string(kImageSectors) + " sectors), mapped to Z:");

  TDirDisk disk(nullptr);
  disk.SetDriveName('z');
  demo::Say("drive", std::string(1, disk.DriveName()) + ": valid " + (disk.DriveValid() ? "yes" : "no") + ", " +
                         std::to_string(disk.BytesPerSector()) + " bytes per sector, " +
                         std::to_string(uint64_t(disk.TotalClusters()) * disk.SectorsPerCluster()) + " sectors");
  if (!disk.DriveValid()) return false;
  const uint32_t bps = disk.BytesPerSector();

  // Two sectors of text, each naming itself.
  std::vector<uint8_t> out(2 * bps, 0);
  for (uint32_t s = 0; s < 2; ++s) {
    std::string line = "evcomp demo: this is sector " + std::to_string(10 + s) + " of drive Z:";
    std::memcpy(out.data() + s * bps, line.data(), line.size());
  }
  disk.SetFirstSector(10);
  disk.SetSectors(2);
  // The demo runs unattended, so it writes without the warning; the next
  // step shows the warning at work.
  disk.SetNeedWriteWarn(false);
  const bool wrote = disk.WriteSectors(out.data(), out.size());
  demo::Say("write sectors 10-11", wrote ? "done" : "FAILED");

  std::vector<uint8_t> in(2 * bps, 0xEE);
  const bool read = disk.ReadSectors(in.data(), in.size());
  const bool same = read && in == out;
  demo::Say("read sectors 10-11", read ? (same ? "same bytes as written" : "DIFFERENT bytes") : "FAILED");
  demo::Say("sector 11, first bytes", Hex(in.data() + bps, 16));
  demo::Say("as text", Text(in.data() + bps, 48));

  // The bytes are in the image file at sector 11's byte offset, read here
  // without the component.
  std::vector<uint8_t> raw(bps);
  int fd = ::open(image.Path.c_str(), O_RDONLY | O_CLOEXEC);
  ssize_t got = fd < 0 ? -1 : ::pread(fd, raw.data(), bps, off_t(11) * bps);
  if (fd >= 0) ::close(fd);
  const bool inFile = got == ssize_t(bps) && std::memcmp(raw.data(), out.data() + bps, bps) == 0;
  demo::Say("in the file at 11*" + std::to_string(bps), inFile ? "found" : "NOT found");

  // With the warning on and no terminal to answer it, nothing is written.
  LinuxDiskApi().SetTerminalPath(image.Path + ".no-terminal");
  disk.SetNeedWriteWarn(true);
  std::vector<uint8_t> other(2 * bps, 0xAB);
  const bool refused = !disk.WriteSectors(other.data(), other.size());
  std::vector<uint8_t> after(2 * bps);
  const bool unchanged = disk.ReadSectors(after.data(), after.size()) && after == out;
  demo::Say("unconfirmed write", std::string(refused ? "refused" : "WRITTEN") + ", sectors " +
                                     (unchanged ? "unchanged" : "CHANGED"));

  // Past the end of the drive there is nothing to read.
  disk.SetFirstSector(kImageSectors - 1);
  disk.SetSectors(2);
  const bool pastEnd = !disk.ReadSectors(in.data(), in.size());
  demo::Say("read past the end", pastEnd ? "refused" : "ACCEPTED");

  return wrote && same && inFile && refused && unchanged && pastEnd;
}

}  // namespace

EVC_DEMO_SECTION(50, "Raw disk sectors (TDirDisk)", RunDiskSection);
