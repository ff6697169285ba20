// The Linux disk layer: drive mapping, volume handles over real files, the
// advisory volume lock and the terminal message box.
#include "platform/diskapi.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "disk/ImageFile.h"

namespace evc {
namespace {

using test::TTempDir;

class LinuxDiskApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Image = Dir.File("disk.img");
    std::vector<uint8_t> data(10 * 512 + 100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);
    test::WriteWholeFile(Image, data);
    Api().MapDrive('x', Image);
    Api().SetTerminalPath(Dir.File("no-terminal"));
  }
  void TearDown() override {
    Api().UnmapAll();
    Api().SetTerminalPath("/dev/tty");
    EXPECT_EQ(Api().OpenHandleCount(), 0u);
  }
  static TLinuxDiskApi& Api() { return LinuxDiskApi(); }
  HANDLE Open(const char* name = "\\\\.\\X:", DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return Api().CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, 0);
  }

  TTempDir Dir;
  std::string Image;
};

TEST_F(LinuxDiskApiTest, VersionAndErrorMode) {
  EXPECT_EQ(&DiskApi(), static_cast<TDiskApi*>(&LinuxDiskApi()));
  OSVERSIONINFOA v;
  v.dwOSVersionInfoSize = 148;
  ASSERT_TRUE(Api().GetVersionExA(&v));
  EXPECT_EQ(v.dwPlatformId, 2u);
  EXPECT_NE(std::strlen(v.szCSDVersion), 0u);
  v.dwOSVersionInfoSize = 100;
  EXPECT_FALSE(Api().GetVersionExA(&v));
  EXPECT_FALSE(Api().GetVersionExA(nullptr));
  UINT old = Api().SetErrorMode(1);
  EXPECT_EQ(Api().SetErrorMode(4), 1u);
  Api().SetErrorMode(old);
}

TEST_F(LinuxDiskApiTest, OnlyMappedDrivesExist) {
  DWORD spc = 0, bps = 0, fr = 99, total = 0;
  ASSERT_TRUE(Api().GetDiskFreeSpaceA("X:\\", &spc, &bps, &fr, &total));
  EXPECT_EQ(bps, 512u);
  EXPECT_EQ(spc, 1u);
  EXPECT_EQ(total, 10u) << "the trailing partial sector is not part of the disk";
  EXPECT_EQ(fr, 0u);
  EXPECT_TRUE(Api().GetDiskFreeSpaceA("x:\\", &spc, &bps, &fr, &total));
  EXPECT_EQ(Api().DrivePath('x'), Image);

  for (const char* root : {"Y:\\", "X:", "X:\\\\", "X:/", "", "1:\\"}) {
    EXPECT_FALSE(Api().GetDiskFreeSpaceA(root, &spc, &bps, &fr, &total)) << root;
  }
  EXPECT_FALSE(Api().GetDiskFreeSpaceA(nullptr, &spc, &bps, &fr, &total));
  EXPECT_FALSE(Api().MapDrive('1', Image));
  EXPECT_FALSE(Api().MapDrive('Q', ""));

  // Names other than a mapped volume open nothing, whatever they are.
  std::string plain = Image;
  for (const std::string& name : {std::string("\\\\.\\Y:"), std::string("\\\\.\\vwin32"), plain,
                                  std::string("/etc/passwd"), std::string("\\\\.\\PhysicalDrive0"),
                                  std::string("\\\\.\\X:\\"), std::string("\\\\?\\X:"), std::string("X:")}) {
    EXPECT_EQ(Open(name.c_str()), INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
  }

  // A mapping to a missing path creates nothing.
  std::string missing = Dir.File("missing.img");
  Api().MapDrive('M', missing);
  EXPECT_FALSE(Api().GetDiskFreeSpaceA("M:\\", &spc, &bps, &fr, &total));
  EXPECT_EQ(Open("\\\\.\\M:"), INVALID_HANDLE_VALUE);
  struct stat st;
  EXPECT_NE(stat(missing.c_str(), &st), 0);

  // A directory or a FIFO is not a disk (and the FIFO must not block us).
  Api().MapDrive('D', Dir.Path());
  EXPECT_FALSE(Api().GetDiskFreeSpaceA("D:\\", &spc, &bps, &fr, &total));
  EXPECT_EQ(Open("\\\\.\\D:"), INVALID_HANDLE_VALUE);
  std::string fifo = Dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Api().MapDrive('F', fifo);
  EXPECT_FALSE(Api().GetDiskFreeSpaceA("F:\\", &spc, &bps, &fr, &total));
  EXPECT_EQ(Open("\\\\.\\F:", GENERIC_READ), INVALID_HANDLE_VALUE);

  // A volume is never created or truncated.
  auto before = test::ReadWholeFile(Image);
  for (DWORD creation : {CREATE_NEW, CREATE_ALWAYS, OPEN_ALWAYS, TRUNCATE_EXISTING}) {
    EXPECT_EQ(Api().CreateFileA("\\\\.\\X:", GENERIC_WRITE, 0, nullptr, creation, 0, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  // Delete-on-close means nothing for a volume.
  HANDLE h = Api().CreateFileA("\\\\.\\X:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Api().CloseHandle(h));
  EXPECT_EQ(test::ReadWholeFile(Image), before);

  Api().UnmapDrive('X');
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
}

TEST_F(LinuxDiskApiTest, LargeDisksGetLargerClusters) {
  std::string big = Dir.File("big.img");
  test::MakeSparseFile(big, (uint64_t(3) << 40) + 512);  // 3 TiB and a sector
  Api().MapDrive('B', big);
  DWORD spc = 0, bps = 0, fr = 0, total = 0;
  ASSERT_TRUE(Api().GetDiskFreeSpaceA("B:\\", &spc, &bps, &fr, &total));
  EXPECT_EQ(bps, 512u);
  EXPECT_EQ(spc, 2u);
  EXPECT_EQ(uint64_t(total) * spc, ((uint64_t(3) << 40) + 512) / 512 / 2 * 2);
  HANDLE h = Open("\\\\.\\B:", GENERIC_READ);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  uint64_t length = 0;
  DWORD got = 0;
  ASSERT_TRUE(Api().DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, 8, &got, nullptr));
  EXPECT_EQ(got, 8u);
  EXPECT_EQ(length, (uint64_t(3) << 40) + 512);
  EXPECT_FALSE(Api().DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, 4, &got, nullptr));
  EXPECT_FALSE(Api().DeviceIoControl(h, 0x12345, nullptr, 0, nullptr, 0, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  Api().CloseHandle(h);
}

TEST_F(LinuxDiskApiTest, FilePointerIs64BitAndNeverWraps) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LONG high = 1;
  EXPECT_EQ(Api().SetFilePointer(h, 0x200, &high, FILE_BEGIN), 0x200u);
  EXPECT_EQ(high, 1);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  high = 0;
  EXPECT_EQ(Api().SetFilePointer(h, 0, &high, FILE_CURRENT), 0x200u);
  EXPECT_EQ(high, 1) << "the position past 4 GiB was kept whole";
  // Without a high half a position past 4 GiB cannot be reported: refused,
  // position unchanged.
  EXPECT_EQ(Api().SetFilePointer(h, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_NE(GetLastError(), ERROR_SUCCESS);
  high = 0;
  EXPECT_EQ(Api().SetFilePointer(h, 0, &high, FILE_CURRENT), 0x200u);
  EXPECT_EQ(high, 1);
  // Negative 32-bit distances are sign-extended and may not go below 0.
  EXPECT_EQ(Api().SetFilePointer(h, 1024, nullptr, FILE_BEGIN), 1024u);
  EXPECT_EQ(Api().SetFilePointer(h, -512, nullptr, FILE_CURRENT), 512u);
  EXPECT_EQ(Api().SetFilePointer(h, -1024, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(Api().SetFilePointer(h, 0, nullptr, FILE_CURRENT), 512u);
  EXPECT_EQ(Api().SetFilePointer(h, -512, nullptr, FILE_END), 9u * 512);
  high = 0x7FFFFFFF;
  EXPECT_EQ(Api().SetFilePointer(h, -1, &high, FILE_END), INVALID_SET_FILE_POINTER) << "overflow";
  EXPECT_EQ(Api().SetFilePointer(h, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(Api().SetFilePointer(h + 1, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  Api().CloseHandle(h);
  EXPECT_FALSE(Api().CloseHandle(h));
}

TEST_F(LinuxDiskApiTest, TransfersAreWholeSectorsInsideTheDisk) {
  auto before = test::ReadWholeFile(Image);
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<uint8_t> buf(1024);
  DWORD n = 77;
  ASSERT_EQ(Api().SetFilePointer(h, 512, nullptr, FILE_BEGIN), 512u);
  ASSERT_TRUE(Api().ReadFile(h, buf.data(), 1024, &n, nullptr));
  EXPECT_EQ(n, 1024u);
  EXPECT_EQ(0, std::memcmp(buf.data(), before.data() + 512, 1024));
  EXPECT_EQ(Api().SetFilePointer(h, 0, nullptr, FILE_CURRENT), 1536u);

  // Not on a sector boundary, or not whole sectors.
  Api().SetFilePointer(h, 100, nullptr, FILE_BEGIN);
  EXPECT_FALSE(Api().ReadFile(h, buf.data(), 512, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  Api().SetFilePointer(h, 0, nullptr, FILE_BEGIN);
  EXPECT_FALSE(Api().WriteFile(h, buf.data(), 100, &n, nullptr));
  EXPECT_EQ(n, 0u);
  // Reaching past the last whole sector, or starting at the end.
  Api().SetFilePointer(h, 9 * 512, nullptr, FILE_BEGIN);
  EXPECT_FALSE(Api().ReadFile(h, buf.data(), 1024, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SECTOR_NOT_FOUND);
  EXPECT_FALSE(Api().WriteFile(h, buf.data(), 1024, &n, nullptr));
  Api().SetFilePointer(h, 10 * 512, nullptr, FILE_BEGIN);
  EXPECT_FALSE(Api().WriteFile(h, buf.data(), 512, &n, nullptr));
  LONG high = 1;
  Api().SetFilePointer(h, 0, &high, FILE_BEGIN);
  EXPECT_FALSE(Api().WriteFile(h, buf.data(), 512, &n, nullptr));
  EXPECT_EQ(test::ReadWholeFile(Image), before) << "a refused transfer writes nothing and grows nothing";

  // A write of the last sector lands exactly there.
  std::vector<uint8_t> data(512, 0xA5);
  Api().SetFilePointer(h, 9 * 512, nullptr, FILE_BEGIN);
  ASSERT_TRUE(Api().WriteFile(h, data.data(), 512, &n, nullptr));
  EXPECT_EQ(n, 512u);
  Api().CloseHandle(h);
  auto after = test::ReadWholeFile(Image);
  std::copy(data.begin(), data.end(), before.begin() + 9 * 512);
  EXPECT_EQ(after, before);

  // Access as opened.
  h = Open("\\\\.\\X:", GENERIC_READ);
  EXPECT_FALSE(Api().WriteFile(h, data.data(), 512, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  Api().CloseHandle(h);
  h = Open("\\\\.\\X:", GENERIC_WRITE);
  EXPECT_FALSE(Api().ReadFile(h, buf.data(), 512, &n, nullptr));
  Api().CloseHandle(h);
  EXPECT_FALSE(Api().ReadFile(h, buf.data(), 512, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(LinuxDiskApiTest, VolumeLockIsExclusiveAndGoesWithTheHandle) {
  HANDLE a = Open(), b = Open();
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  EXPECT_FALSE(Api().DeviceIoControl(a, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
  ASSERT_TRUE(Api().DeviceIoControl(a, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n, nullptr));
  EXPECT_FALSE(Api().DeviceIoControl(b, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // Another program using flock sees it too.
  int fd = ::open(Image.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
  ASSERT_TRUE(Api().DeviceIoControl(a, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &n, nullptr));
  ASSERT_TRUE(Api().DeviceIoControl(b, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n, nullptr));
  EXPECT_FALSE(Api().DeviceIoControl(a, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n, nullptr));
  Api().CloseHandle(b);  // closing releases the lock
  EXPECT_TRUE(Api().DeviceIoControl(a, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n, nullptr));
  Api().CloseHandle(a);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);
}

TEST_F(LinuxDiskApiTest, MessageBoxAsksOnTheTerminal) {
  // No terminal: No, without waiting.
  EXPECT_EQ(Api().MessageBoxA(0, "text", "caption", MB_YESNO | MB_ICONEXCLAMATION), IDNO);
  // A regular file is no terminal either.
  Api().SetTerminalPath(Image);
  EXPECT_EQ(Api().MessageBoxA(0, "text", "caption", MB_YESNO), IDNO);
  EXPECT_EQ(Api().MessageBoxA(0, "text", "caption", 0x02), 0) << "only OK and Yes/No boxes";

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string slave = ptsname(master);
  // Holding the slave open keeps the master readable before the asker opens it.
  int keep = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(keep, 0);
  Api().SetTerminalPath(slave);
  struct Case {
    const char* typed;
    int answer;
  };
  for (Case c : {Case{"y\n", IDYES}, Case{"  YES \n", IDYES}, Case{"n\n", IDNO}, Case{"\n", IDNO},
                 Case{"yep\n", IDNO}}) {
    int answer = -1;
    std::thread asker([&] { answer = Api().MessageBoxA(0, "Dangerous!\rWrite?", "Attention", MB_YESNO); });
    // Wait for the prompt, then type.
    std::string shown;
    char buf[256];
    while (shown.find("[y/N] ") == std::string::npos) {
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;
      shown.append(buf, static_cast<size_t>(n));
    }
    EXPECT_NE(shown.find("Attention"), std::string::npos);
    EXPECT_NE(shown.find("Dangerous!"), std::string::npos);
    EXPECT_EQ(shown.find('\r' + std::string("Write")), std::string::npos) << "the carriage return broke the line";
    ASSERT_EQ(::write(master, c.typed, std::strlen(c.typed)), static_cast<ssize_t>(std::strlen(c.typed)));
    asker.join();
    EXPECT_EQ(answer, c.answer) << c.typed;
  }
  ::close(keep);
  ::close(master);
}

}  // namespace
}  // namespace evc
