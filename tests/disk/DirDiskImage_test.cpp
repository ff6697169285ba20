// TDirDisk through the Linux disk layer on real image files: what it writes
// is where dd finds it, and nothing else changes.
#include <gtest/gtest.h>

#include <cstring>

#include "common/Noise.h"
#include "disk/DirDisk.h"
#include "disk/ImageFile.h"

namespace evc {
namespace {

using test::TTempDir;

using testdata::Noise;

class DirDiskImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Image = Dir.File("drive.img");
    Original = Noise(256 * 512, 7);
    test::WriteWholeFile(Image, Original);
    LinuxDiskApi().MapDrive('S', Image);
    LinuxDiskApi().SetTerminalPath(Dir.File("no-terminal"));
  }
  void TearDown() override {
    LinuxDiskApi().UnmapAll();
    LinuxDiskApi().SetTerminalPath("/dev/tty");
    EXPECT_EQ(LinuxDiskApi().OpenHandleCount(), 0u);
  }
  TTempDir Dir;
  std::string Image;
  std::vector<uint8_t> Original;
};

TEST_F(DirDiskImageTest, WhatIsWrittenIsReadBackByItselfAndByDd) {
  TDirDisk disk(nullptr);
  EXPECT_FALSE(disk.DriveValid()) << "C: is not mapped";
  disk.SetDriveName('s');
  ASSERT_TRUE(disk.DriveValid());
  EXPECT_EQ(disk.BytesPerSector(), 512u);
  EXPECT_EQ(disk.TotalClusters() * disk.SectorsPerCluster(), 256u);
  disk.SetNeedWriteWarn(false);

  struct Span {
    uint32_t first, count;
  };
  auto expect = Original;
  for (Span s : {Span{0, 1}, Span{17, 3}, Span{128, 64}, Span{255, 1}}) {
    auto data = Noise(size_t(s.count) * 512, s.first + 1);
    disk.SetFirstSector(s.first);
    disk.SetSectors(s.count);
    ASSERT_TRUE(disk.WriteSectors(data.data(), data.size())) << s.first;
    std::copy(data.begin(), data.end(), expect.begin() + size_t(s.first) * 512);

    std::vector<uint8_t> back(data.size());
    ASSERT_TRUE(disk.ReadSectors(back.data(), back.size()));
    EXPECT_EQ(back, data);
    EXPECT_EQ(test::DdRead(Image, s.first, s.count), data);
  }
  EXPECT_EQ(test::ReadWholeFile(Image), expect) << "nothing else in the image changed";

  // With the lock, too.
  disk.SetNeedDiskLock(true);
  disk.SetFirstSector(40);
  disk.SetSectors(2);
  auto data = Noise(1024, 99);
  ASSERT_TRUE(disk.WriteSectors(data.data(), data.size()));
  EXPECT_EQ(test::DdRead(Image, 40, 2), data);
}

TEST_F(DirDiskImageTest, TransfersPastTheEndFailCleanly) {
  TDirDisk disk(nullptr);
  disk.SetDriveName('S');
  disk.SetNeedWriteWarn(false);
  std::vector<uint8_t> buf(4 * 512, 0x5A);
  for (uint32_t first : {253u, 256u, 1000u, 0xFFFFFFFFu}) {
    disk.SetFirstSector(first);
    disk.SetSectors(4);
    EXPECT_FALSE(disk.WriteSectors(buf.data(), buf.size())) << first;
    EXPECT_FALSE(disk.ReadSectors(buf.data(), buf.size())) << first;
  }
  EXPECT_EQ(test::ReadWholeFile(Image), Original) << "the image neither changed nor grew";
}

TEST_F(DirDiskImageTest, NoAnswerWritesNothing) {
  TDirDisk disk(nullptr);
  disk.SetDriveName('S');
  ASSERT_TRUE(disk.NeedWriteWarn());
  std::vector<uint8_t> buf(512, 1);
  EXPECT_FALSE(disk.WriteSectors(buf.data(), buf.size())) << "no terminal means No";
  EXPECT_EQ(test::ReadWholeFile(Image), Original);
}

TEST_F(DirDiskImageTest, LockHeldElsewhereStopsALockedTransfer) {
  HANDLE other = LinuxDiskApi().CreateFileA("\\\\.\\S:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, 0);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  DWORD n;
  ASSERT_TRUE(LinuxDiskApi().DeviceIoControl(other, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n, nullptr));
  TDirDisk disk(nullptr);
  disk.SetDriveName('S');
  disk.SetNeedWriteWarn(false);
  disk.SetNeedDiskLock(true);
  std::vector<uint8_t> buf(512, 3);
  EXPECT_FALSE(disk.WriteSectors(buf.data(), buf.size()));
  EXPECT_EQ(test::ReadWholeFile(Image), Original);
  disk.SetNeedDiskLock(false);  // advisory: without asking for it the write goes through
  EXPECT_TRUE(disk.WriteSectors(buf.data(), buf.size()));
  LinuxDiskApi().CloseHandle(other);
  disk.SetNeedDiskLock(true);
  EXPECT_TRUE(disk.ReadSectors(buf.data(), buf.size()));
}

TEST_F(DirDiskImageTest, SectorsPast4GiBLandExactlyThere) {
  std::string big = Dir.File("sparse.img");
  const uint64_t size = uint64_t(5) << 30;  // 5 GiB, nearly all holes
  test::MakeSparseFile(big, size);
  LinuxDiskApi().MapDrive('H', big);
  TDirDisk disk(nullptr);
  disk.SetDriveName('H');
  ASSERT_TRUE(disk.DriveValid());
  disk.SetNeedWriteWarn(false);

  // 2^23 + 3 sectors: 4 GiB + 1536 bytes. A 32-bit offset would be 1536.
  const uint32_t first = (1u << 23) + 3;
  auto data = Noise(2 * 512, 4242);
  disk.SetFirstSector(first);
  disk.SetSectors(2);
  ASSERT_TRUE(disk.WriteSectors(data.data(), data.size()));
  EXPECT_EQ(test::ReadAt(big, uint64_t(first) * 512, data.size()), data);
  EXPECT_EQ(test::ReadAt(big, 1536, data.size()), std::vector<uint8_t>(data.size(), 0)) << "nothing at the wrapped offset";
  EXPECT_EQ(test::DdRead(big, first, 2), data);
  std::vector<uint8_t> back(data.size());
  ASSERT_TRUE(disk.ReadSectors(back.data(), back.size()));
  EXPECT_EQ(back, data);

  // The last sector of the image, and one past it.
  const uint32_t last = static_cast<uint32_t>(size / 512 - 1);
  disk.SetFirstSector(last);
  disk.SetSectors(1);
  std::vector<uint8_t> one(512, 0xC3);
  ASSERT_TRUE(disk.WriteSectors(one.data(), one.size()));
  EXPECT_EQ(test::ReadAt(big, size - 512, 512), one);
  disk.SetFirstSector(last + 1);
  EXPECT_FALSE(disk.WriteSectors(one.data(), one.size()));
  EXPECT_EQ(test::ReadAt(big, size, 512).size(), 0u) << "the image did not grow";
}

}  // namespace
}  // namespace evc
