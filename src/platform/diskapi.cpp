// The Linux side of the disk calls: drive letters mapped by the host to
// image files or block devices, opened and transferred like Windows volume
// handles.
#include "platform/diskapi.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <limits>

namespace evc {

namespace {

TDiskApi* gCurrent = nullptr;

char DriveLetter(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u >= 'a' && u <= 'z') return static_cast<char>(u - 'a' + 'A');
  if (u >= 'A' && u <= 'Z') return static_cast<char>(u);
  return 0;
}

DWORD ErrnoToWindows(int err, DWORD fallback) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM:
      return ERROR_NOT_READY;
    default:
      return fallback;
  }
}

// What a mapped path offers as a disk: its logical sector size and its size
// in whole sectors. Only regular files and block devices qualify; anything
// else (a FIFO would block the opener, a directory has no sectors) is not a
// disk. `fd` is an open descriptor of the path.
bool ProbeDisk(int fd, uint32_t* sectorSize, uint64_t* size, DWORD* error) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = ErrnoToWindows(errno, ERROR_NOT_READY);
    return false;
  }
  uint64_t bytes = 0;
  uint32_t ss = 512;
  if (S_ISREG(st.st_mode)) {
    bytes = static_cast<uint64_t>(st.st_size);
  } else if (S_ISBLK(st.st_mode)) {
    int logical = 0;
    if (ioctl(fd, BLKSSZGET, &logical) != 0 || logical <= 0) {
      *error = ErrnoToWindows(errno, ERROR_NOT_READY);
      return false;
    }
    ss = static_cast<uint32_t>(logical);
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
      *error = ErrnoToWindows(errno, ERROR_NOT_READY);
      return false;
    }
  } else {
    *error = ERROR_NOT_SUPPORTED;
    return false;
  }
  *sectorSize = ss;
  *size = bytes - bytes % ss;  // a trailing partial sector is not addressable
  return true;
}

// Opens a mapped path without ever creating anything.
int OpenMapped(const std::string& path, int accessFlags) {
  int fd;
  do {
    fd = ::open(path.c_str(), accessFlags | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

TDiskApi& DiskApi() { return gCurrent ? *gCurrent : LinuxDiskApi(); }

TDiskApi* SetDiskApi(TDiskApi* api) {
  TDiskApi* previous = &DiskApi();
  gCurrent = api;
  return previous;
}

TLinuxDiskApi& LinuxDiskApi() {
  static TLinuxDiskApi instance;
  return instance;
}

TLinuxDiskApi::TLinuxDiskApi() = default;

TLinuxDiskApi::~TLinuxDiskApi() {
  std::lock_guard<std::mutex> g(FLock);
  FHandles.clear();
}

bool TLinuxDiskApi::MapDrive(char letter, const std::string& path) {
  char d = DriveLetter(letter);
  if (!d || path.empty()) return false;
  std::lock_guard<std::mutex> g(FLock);
  FDrives[d] = path;
  return true;
}

void TLinuxDiskApi::UnmapDrive(char letter) {
  char d = DriveLetter(letter);
  std::lock_guard<std::mutex> g(FLock);
  FDrives.erase(d);
}

void TLinuxDiskApi::UnmapAll() {
  std::lock_guard<std::mutex> g(FLock);
  FDrives.clear();
}

std::string TLinuxDiskApi::DrivePath(char letter) const {
  char d = DriveLetter(letter);
  std::lock_guard<std::mutex> g(FLock);
  auto it = FDrives.find(d);
  return it == FDrives.end() ? std::string() : it->second;
}

void TLinuxDiskApi::SetTerminalPath(const std::string& path) {
  std::lock_guard<std::mutex> g(FLock);
  FTerminal = path;
}

size_t TLinuxDiskApi::OpenHandleCount() const {
  std::lock_guard<std::mutex> g(FLock);
  return FHandles.size();
}

std::shared_ptr<TLinuxDiskApi::TOpenVolume> TLinuxDiskApi::Find(HANDLE h) const {
  std::lock_guard<std::mutex> g(FLock);
  auto it = FHandles.find(h);
  return it == FHandles.end() ? nullptr : it->second;
}

BOOL TLinuxDiskApi::GetVersionExA(OSVERSIONINFOA* info) {
  if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  struct utsname u;
  unsigned major = 0, minor = 0, patch = 0;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  if (uname(&u) == 0) {
    std::sscanf(u.release, "%u.%u.%u", &major, &minor, &patch);
    std::string csd = std::string(u.sysname) + " " + u.release;
    std::memcpy(info->szCSDVersion, csd.data(), std::min(csd.size(), sizeof info->szCSDVersion - 1));
  }
  info->dwMajorVersion = major;
  info->dwMinorVersion = minor;
  info->dwBuildNumber = patch;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  return TRUE;
}

BOOL TLinuxDiskApi::GetDiskFreeSpaceA(const char* rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                                      DWORD* freeClusters, DWORD* totalClusters) {
  // Only the root of a drive, "X:\", names a disk here.
  if (!rootPath || std::strlen(rootPath) != 3 || !DriveLetter(rootPath[0]) || rootPath[1] != ':' ||
      rootPath[2] != '\\') {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  std::string path = DrivePath(rootPath[0]);
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  int fd = OpenMapped(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    SetLastError(ErrnoToWindows(errno, ERROR_PATH_NOT_FOUND));
    return FALSE;
  }
  uint32_t ss = 0;
  uint64_t size = 0;
  DWORD err = 0;
  bool ok = ProbeDisk(fd, &ss, &size, &err);
  ::close(fd);
  if (!ok) {
    SetLastError(err);
    return FALSE;
  }
  // Clusters are counted in 32 bits: a large disk gets larger clusters, as a
  // file system would give it.
  uint64_t sectors = size / ss;
  uint64_t perCluster = 1;
  while (sectors / perCluster > 0xFFFFFFFFull) perCluster *= 2;
  if (sectorsPerCluster) *sectorsPerCluster = static_cast<DWORD>(perCluster);
  if (bytesPerSector) *bytesPerSector = ss;
  if (freeClusters) *freeClusters = 0;  // a raw disk has no file system to be free in
  if (totalClusters) *totalClusters = static_cast<DWORD>(sectors / perCluster);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

UINT TLinuxDiskApi::SetErrorMode(UINT mode) {
  std::lock_guard<std::mutex> g(FLock);
  UINT previous = FErrorMode;
  FErrorMode = mode;
  return previous;
}

HANDLE TLinuxDiskApi::CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* security,
                                  DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
  // "\\.\X:" is the only name that opens anything; every other name,
  // including the VWIN32 device of the Windows 9x family, does not exist.
  if (!fileName || std::strlen(fileName) != 6 || std::strncmp(fileName, "\\\\.\\", 4) != 0 ||
      !DriveLetter(fileName[4]) || fileName[5] != ':') {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::string path = DrivePath(fileName[4]);
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // A volume exists or it does not; it is never created or truncated.
  if (creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  bool wantRead = desiredAccess & GENERIC_READ;
  bool wantWrite = desiredAccess & GENERIC_WRITE;
  int access = wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  int fd = OpenMapped(path, access | O_NONBLOCK);
  if (fd < 0) {
    SetLastError(ErrnoToWindows(errno, ERROR_FILE_NOT_FOUND));
    return INVALID_HANDLE_VALUE;
  }
  auto vol = std::make_shared<TOpenVolume>();
  DWORD err = 0;
  if (!ProbeDisk(fd, &vol->SectorSize, &vol->Size, &err)) {
    ::close(fd);
    SetLastError(err);
    return INVALID_HANDLE_VALUE;
  }
  // The descriptor was opened non-blocking only so that opening could never
  // hang on a FIFO; it stays so, because regular files and block devices,
  // the only kinds ProbeDisk admits, ignore the flag for reads and writes.
  vol->Fd = fd;
  vol->CanRead = wantRead;
  vol->CanWrite = wantWrite;
  // FILE_FLAG_DELETE_ON_CLOSE means nothing for a volume: no image is ever removed.
  std::lock_guard<std::mutex> g(FLock);
  HANDLE h = FNextHandle;
  FNextHandle += 4;
  FHandles[h] = std::move(vol);
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL TLinuxDiskApi::DeviceIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize,
                                    void* outBuffer, DWORD outSize, DWORD* bytesReturned, void* overlapped) {
  auto vol = Find(device);
  if (bytesReturned) *bytesReturned = 0;
  if (!vol) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  switch (controlCode) {
    case FSCTL_LOCK_VOLUME:
      if (flock(vol->Fd, LOCK_EX | LOCK_NB) != 0) {
        SetLastError(errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrnoToWindows(errno, ERROR_ACCESS_DENIED));
        return FALSE;
      }
      vol->Locked = true;
      break;
    case FSCTL_UNLOCK_VOLUME:
      if (!vol->Locked) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
      }
      flock(vol->Fd, LOCK_UN);
      vol->Locked = false;
      break;
    case IOCTL_DISK_GET_LENGTH_INFO:
      if (!outBuffer || outSize < sizeof(uint64_t)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      std::memcpy(outBuffer, &vol->Size, sizeof(uint64_t));
      if (bytesReturned) *bytesReturned = sizeof(uint64_t);
      break;
    default:
      SetLastError(ERROR_INVALID_FUNCTION);
      return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD TLinuxDiskApi::SetFilePointer(HANDLE file, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh,
                                    DWORD moveMethod) {
  auto vol = Find(file);
  if (!vol) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t distance = lpDistanceToMoveHigh
                         ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                                static_cast<uint32_t>(lDistanceToMove))
                         : static_cast<int64_t>(lDistanceToMove);
  int64_t base;
  switch (moveMethod) {
    case FILE_BEGIN:
      base = 0;
      break;
    case FILE_CURRENT:
      base = static_cast<int64_t>(vol->Position);
      break;
    case FILE_END:
      base = static_cast<int64_t>(vol->Size);
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_SET_FILE_POINTER;
  }
  int64_t target;
  if (__builtin_add_overflow(base, distance, &target)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (target < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  // Without a high half the caller cannot learn a position past 4 GiB, so
  // such a move is refused instead of being reported wrapped.
  if (!lpDistanceToMoveHigh && target > static_cast<int64_t>(0xFFFFFFFFll)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  vol->Position = static_cast<uint64_t>(target);
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(static_cast<uint64_t>(target) & 0xFFFFFFFFu);
}

namespace {
// A volume transfer covers whole sectors inside the disk, or nothing.
DWORD CheckTransfer(uint64_t position, DWORD count, uint32_t sectorSize, uint64_t size) {
  if (position % sectorSize != 0 || count % sectorSize != 0) return ERROR_INVALID_PARAMETER;
  if (position >= size || count > size - position) return ERROR_SECTOR_NOT_FOUND;
  return ERROR_SUCCESS;
}
}  // namespace

BOOL TLinuxDiskApi::ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) {
  if (bytesRead) *bytesRead = 0;
  auto vol = Find(file);
  if (!vol) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!vol->CanRead) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (bytesToRead == 0) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (!buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DWORD e = CheckTransfer(vol->Position, bytesToRead, vol->SectorSize, vol->Size)) {
    SetLastError(e);
    return FALSE;
  }
  auto* p = static_cast<uint8_t*>(buffer);
  DWORD done = 0;
  while (done < bytesToRead) {
    ssize_t n = ::pread(vol->Fd, p + done, bytesToRead - done, static_cast<off_t>(vol->Position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // n == 0: the image shrank under us; there is no sector to read.
      SetLastError(n == 0 ? ERROR_SECTOR_NOT_FOUND : ErrnoToWindows(errno, ERROR_READ_FAULT));
      vol->Position += done;
      if (bytesRead) *bytesRead = done;
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  vol->Position += done;
  if (bytesRead) *bytesRead = done;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL TLinuxDiskApi::WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                              void* overlapped) {
  if (bytesWritten) *bytesWritten = 0;
  auto vol = Find(file);
  if (!vol) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!vol->CanWrite) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (bytesToWrite == 0) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (!buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DWORD e = CheckTransfer(vol->Position, bytesToWrite, vol->SectorSize, vol->Size)) {
    SetLastError(e);
    return FALSE;
  }
  auto* p = static_cast<const uint8_t*>(buffer);
  DWORD done = 0;
  while (done < bytesToWrite) {
    ssize_t n = ::pwrite(vol->Fd, p + done, bytesToWrite - done, static_cast<off_t>(vol->Position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetLastError(n == 0 ? ERROR_WRITE_FAULT : ErrnoToWindows(errno, ERROR_WRITE_FAULT));
      vol->Position += done;
      if (bytesWritten) *bytesWritten = done;
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  vol->Position += done;
  if (bytesWritten) *bytesWritten = done;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL TLinuxDiskApi::CloseHandle(HANDLE object) {
  std::shared_ptr<TOpenVolume> vol;
  {
    std::lock_guard<std::mutex> g(FLock);
    auto it = FHandles.find(object);
    if (it == FHandles.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    vol = std::move(it->second);
    FHandles.erase(it);
  }
  // The descriptor closes (and any lock goes) with the last reference.
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

TLinuxDiskApi::TOpenVolume::~TOpenVolume() {
  if (Fd >= 0) ::close(Fd);
}

int TLinuxDiskApi::MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  UINT buttons = type & 0x0F;
  if (buttons != MB_OK && buttons != MB_YESNO) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string terminal;
  {
    std::lock_guard<std::mutex> g(FLock);
    terminal = FTerminal;
  }
  const int noAnswer = buttons == MB_YESNO ? IDNO : IDOK;
  int fd = OpenMapped(terminal, O_RDWR);
  if (fd < 0 || !isatty(fd)) {
    if (fd >= 0) ::close(fd);
    return noAnswer;
  }
  // Carriage returns break lines in a message box; on a terminal a lone one
  // would overwrite the line, so it becomes a line feed.
  std::string out = "\n";
  out += caption ? caption : "Error";
  out += "\n";
  for (const char* s = text ? text : ""; *s; ++s) {
    if (*s == '\r') {
      out += '\n';
      if (s[1] == '\n') ++s;
    } else {
      out += *s;
    }
  }
  out += buttons == MB_YESNO ? "\n[y/N] " : "\n[Enter] ";
  for (size_t off = 0; off < out.size();) {
    ssize_t n = ::write(fd, out.data() + off, out.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return noAnswer;
    }
    off += static_cast<size_t>(n);
  }
  std::string line;
  char c;
  for (;;) {
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n' || c == '\r') break;
    if (line.size() < 64) line += c;
  }
  ::close(fd);
  if (buttons == MB_OK) return IDOK;
  size_t b = line.find_first_not_of(" \t");
  size_t e = line.find_last_not_of(" \t");
  std::string answer = b == std::string::npos ? std::string() : line.substr(b, e - b + 1);
  for (char& ch : answer) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return answer == "y" || answer == "yes" ? IDYES : IDNO;
}

}  // namespace evc
