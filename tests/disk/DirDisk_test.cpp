// TDirDisk against the disk double: both routes, their request blocks and
// the rules around them.
#include "disk/DirDisk.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <cstring>

#include "base/FormFile.h"
#include "base/Exception.h"
#include "disk/DiskDouble.h"

namespace evc {
namespace {

using test::TDiskCall;
using test::TDiskDouble;

constexpr size_t kSectors = 64;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return v;
}

class DirDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Api.Drives['C'].Data = Pattern(kSectors * 512, 1);
    Api.Drives['D'].Data = Pattern(kSectors * 512, 2);
  }
  // A fresh component on the given route, with the call log cleared.
  std::unique_ptr<TDirDisk> Make(DWORD platform, DWORD build = 1381) {
    Api.PlatformId = platform;
    Api.BuildNumber = build;
    auto d = std::make_unique<TDirDisk>(nullptr);
    Api.Clear();
    return d;
  }
  const uint8_t* DriveAt(char drive, size_t sector) { return Api.Drives[drive].Data.data() + sector * 512; }

  TDiskDouble Api;
};

TEST_F(DirDiskTest, CreationQueriesVersionAndDriveCAndSetsDefaults) {
  Api.BuildNumber = 0x04000457;  // 9x keeps major and minor in the high word
  Api.PlatformId = VER_PLATFORM_WIN32_WINDOWS;
  TDirDisk disk(nullptr);
  ASSERT_GE(Api.Calls.size(), 2u);
  EXPECT_EQ(Api.Calls[0].Name, "GetVersionExA");
  EXPECT_EQ(Api.Calls[0].Bytes, 148u);
  EXPECT_EQ(Api.Calls[1].Name, "GetDiskFreeSpaceA");
  EXPECT_EQ(Api.Calls[1].Path, "C:\\");
  EXPECT_EQ(disk.BuildNumber(), 0x0457);
  EXPECT_EQ(disk.DriveName(), 'C');
  EXPECT_TRUE(disk.DriveValid());
  EXPECT_EQ(disk.BytesPerSector(), 512u);
  EXPECT_EQ(disk.SectorsPerCluster(), 8u);
  EXPECT_EQ(disk.TotalClusters(), kSectors / 8);
  EXPECT_EQ(disk.FreeClusters(), 3u);
  EXPECT_EQ(disk.FirstSector(), 0u);
  EXPECT_EQ(disk.Sectors(), 1u);
  EXPECT_EQ(disk.Retries(), 2);
  EXPECT_FALSE(disk.NeedDiskLock());
  EXPECT_TRUE(disk.NeedWriteWarn());
  EXPECT_EQ(disk.About(), DirDiskBanner);
  disk.SetAbout("something else");
  EXPECT_EQ(disk.About(), DirDiskBanner);

  // Without a C: drive the letter stays C and the drive is not valid.
  Api.Drives.erase('C');
  TDirDisk noC(nullptr);
  EXPECT_EQ(noC.DriveName(), 'C');
  EXPECT_FALSE(noC.DriveValid());
  size_t before = Api.Calls.size();
  std::vector<uint8_t> buf(512);
  EXPECT_FALSE(noC.ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.Calls.size(), before);
}

TEST_F(DirDiskTest, DriveNameRules) {
  auto disk = Make(VER_PLATFORM_WIN32_NT);
  disk->SetDriveName('d');
  EXPECT_EQ(disk->DriveName(), 'D');
  EXPECT_TRUE(disk->DriveValid());
  ASSERT_EQ(Api.Count("GetDiskFreeSpaceA"), 1u);
  EXPECT_EQ(Api.Calls[0].Path, "D:\\");

  // Not a letter: nothing is asked and nothing but validity changes.
  Api.Clear();
  for (char c : {'1', '@', '[', '`', '{', '\0', ':'}) {
    disk->SetDriveName(c);
    EXPECT_EQ(disk->DriveName(), 'D');
    EXPECT_FALSE(disk->DriveValid());
  }
  EXPECT_TRUE(Api.Calls.empty());
  std::vector<uint8_t> buf(512);
  disk->SetNeedWriteWarn(false);
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_FALSE(disk->WriteSectors(buf.data(), buf.size()));
  EXPECT_TRUE(Api.Calls.empty());

  // A letter without a drive: asked, then the current one asked again.
  disk->SetDriveName('C');
  ASSERT_TRUE(disk->DriveValid());
  Api.Clear();
  disk->SetDriveName('q');
  EXPECT_EQ(disk->DriveName(), 'C');
  EXPECT_FALSE(disk->DriveValid());
  auto asked = Api.Of("GetDiskFreeSpaceA");
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].Path, "Q:\\");
  EXPECT_EQ(asked[1].Path, "C:\\");
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));

  // A failing query of an existing drive counts as a failure too.
  Api.FailGeometry = 1;
  disk->SetDriveName('D');
  EXPECT_EQ(disk->DriveName(), 'C');
  EXPECT_FALSE(disk->DriveValid());

  disk->SetDriveName('Z' + 0);  // no Z: drive
  EXPECT_FALSE(disk->DriveValid());
  disk->SetDriveName('d');
  EXPECT_TRUE(disk->DriveValid());
  EXPECT_TRUE(disk->ReadSectors(buf.data(), buf.size()));
}

TEST_F(DirDiskTest, ShortBufferIsRefusedWithoutAnyCall) {
  for (DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    auto disk = Make(platform);
    disk->SetNeedWriteWarn(true);
    disk->SetSectors(3);
    std::vector<uint8_t> buf(3 * 512);
    EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size() - 1));
    EXPECT_FALSE(disk->WriteSectors(buf.data(), buf.size() - 1));
    EXPECT_FALSE(disk->ReadSectors(nullptr, 0));
    // 2^23 sectors of 512 bytes is 2^32: a 32-bit product would be 0 and
    // let a one-byte buffer through.
    disk->SetSectors(0x00800000u);
    EXPECT_FALSE(disk->ReadSectors(buf.data(), 1));
    EXPECT_FALSE(disk->WriteSectors(buf.data(), 1));
    disk->SetSectors(0xFFFFFFFFu);
    EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
    EXPECT_TRUE(Api.Calls.empty()) << "platform " << platform;
    // The exact length is enough.
    disk->SetSectors(3);
    EXPECT_TRUE(disk->ReadSectors(buf.data(), buf.size()));
    EXPECT_EQ(0, std::memcmp(buf.data(), DriveAt('C', 0), buf.size()));
  }
}

TEST_F(DirDiskTest, WriteWarningAsksAndNoWritesNothing) {
  for (DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    SetUp();
    auto disk = Make(platform);
    disk->SetDriveName('d');
    disk->SetFirstSector(5);
    Api.Clear();
    auto data = Pattern(512, 99);
    auto before = Api.Drives['D'].Data;
    for (int answer : {IDNO, 0, 2 /* cancel */, IDOK}) {
      Api.Answer = answer;
      EXPECT_FALSE(disk->WriteSectors(data.data(), data.size()));
    }
    EXPECT_EQ(Api.Drives['D'].Data, before);
    ASSERT_EQ(Api.Calls.size(), 4u);  // the message boxes and nothing else
    const TDiskCall& box = Api.Calls[0];
    EXPECT_EQ(box.Name, "MessageBoxA");
    EXPECT_EQ(box.Handle, 0u);
    EXPECT_EQ(box.Text, "Dangerous!\rDo you want to write to the drive D: really?");
    EXPECT_EQ(box.Caption, "Attention");
    EXPECT_EQ(box.Type, 0x34u);

    Api.Answer = IDYES;
    EXPECT_TRUE(disk->WriteSectors(data.data(), data.size()));
    EXPECT_EQ(0, std::memcmp(DriveAt('D', 5), data.data(), 512));
    EXPECT_EQ(0, std::memcmp(DriveAt('D', 6), before.data() + 6 * 512, before.size() - 6 * 512));
    EXPECT_EQ(data, Pattern(512, 99)) << "the caller's buffer is not touched";

    Api.Clear();
    disk->SetNeedWriteWarn(false);
    EXPECT_TRUE(disk->WriteSectors(data.data(), data.size()));
    EXPECT_EQ(Api.Count("MessageBoxA"), 0u);
  }
}

TEST_F(DirDiskTest, NtReadOpensSeeksReadsAndCloses) {
  auto disk = Make(VER_PLATFORM_WIN32_NT);
  disk->SetDriveName('D');
  disk->SetFirstSector(10);
  disk->SetSectors(4);
  Api.Clear();
  std::vector<uint8_t> buf(4 * 512 + 7, 0xEE);
  ASSERT_TRUE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(0, std::memcmp(buf.data(), DriveAt('D', 10), 4 * 512));
  EXPECT_EQ(buf[4 * 512], 0xEE) << "nothing beyond the sectors is written";

  std::vector<std::string> names;
  for (auto& c : Api.Calls) names.push_back(c.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"SetErrorMode", "CreateFileA", "SetErrorMode", "SetFilePointer",
                                             "ReadFile", "CloseHandle"}));
  EXPECT_EQ(Api.Calls[0].Mode, 1u);
  const TDiskCall& open = Api.Calls[1];
  EXPECT_EQ(open.Path, "\\\\.\\D:");
  EXPECT_EQ(open.Access, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(open.Share, FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_EQ(open.Creation, OPEN_EXISTING);
  EXPECT_EQ(open.Flags, 0u);
  EXPECT_EQ(Api.Calls[2].Mode, 4u);
  EXPECT_EQ(Api.Calls[3].Position, 10u * 512);
  EXPECT_EQ(Api.Calls[3].Mode, FILE_BEGIN);
  EXPECT_EQ(Api.Calls[4].Bytes, 4u * 512);
  EXPECT_EQ(Api.Calls[4].Position, 10u * 512);
  EXPECT_EQ(Api.Calls[5].Handle, open.Handle);
  EXPECT_EQ(Api.OpenHandles(), 0u);

  // Past the end: the read fails, the handle is still closed.
  disk->SetFirstSector(kSectors - 1);
  disk->SetSectors(2);
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.OpenHandles(), 0u);

  // A drive that cannot be opened: nothing else is called.
  Api.Clear();
  Api.FailOpen = -1;
  disk->SetFirstSector(0);
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.Count("CreateFileA"), 2u);  // once per outer attempt
  EXPECT_EQ(Api.Count("ReadFile") + Api.Count("SetFilePointer") + Api.Count("CloseHandle"), 0u);
}

TEST_F(DirDiskTest, NtLockAroundTransfers) {
  auto disk = Make(VER_PLATFORM_WIN32_NT);
  disk->SetNeedDiskLock(true);
  disk->SetNeedWriteWarn(false);
  std::vector<uint8_t> buf(512);
  ASSERT_TRUE(disk->ReadSectors(buf.data(), buf.size()));
  auto ioctls = Api.Of("DeviceIoControl");
  ASSERT_EQ(ioctls.size(), 2u);
  EXPECT_EQ(ioctls[0].Code, 0x00090018u);
  EXPECT_EQ(ioctls[1].Code, 0x0009001Cu);
  EXPECT_EQ(ioctls[0].InSize + ioctls[0].OutSize, 0u);
  ASSERT_TRUE(disk->WriteSectors(buf.data(), buf.size()));

  // A lock that fails: no seek, no transfer, the handle closed, false.
  Api.Clear();
  Api.FailLock = -1;
  EXPECT_FALSE(disk->WriteSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.Count("WriteFile") + Api.Count("SetFilePointer"), 0u);
  EXPECT_EQ(Api.Count("CloseHandle"), 2u);
  Api.FailLock = 0;

  // A failing unlock makes the transfer fail though the data went through.
  Api.Clear();
  Api.FailUnlock = 1;
  disk->SetRetries(1);
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.Count("ReadFile"), 1u);

  // A failed read sends no unlock.
  Api.Clear();
  Api.FailRead = -1;
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  auto codes = Api.Of("DeviceIoControl");
  ASSERT_EQ(codes.size(), 1u);
  EXPECT_EQ(codes[0].Code, FSCTL_LOCK_VOLUME);
}

TEST_F(DirDiskTest, NtRetriesReadAgainAtTheSameOffset) {
  auto disk = Make(VER_PLATFORM_WIN32_NT);
  disk->SetDriveName('D');
  disk->SetFirstSector(7);
  disk->SetSectors(2);
  disk->SetRetries(3);
  disk->SetNeedWriteWarn(false);
  std::vector<uint8_t> buf(1024);
  Api.Clear();
  Api.FailRead = -1;
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  auto reads = Api.Of("ReadFile");
  EXPECT_EQ(reads.size(), 9u);
  for (auto& r : reads) EXPECT_EQ(r.Position, 7u * 512);
  EXPECT_EQ(Api.Count("CreateFileA"), 3u);
  EXPECT_EQ(Api.Count("CloseHandle"), 3u);

  // Two failures, then success within the first outer attempt.
  Api.Clear();
  Api.FailRead = 2;
  EXPECT_TRUE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.Count("ReadFile"), 3u);
  EXPECT_EQ(Api.Count("CreateFileA"), 1u);
  EXPECT_EQ(0, std::memcmp(buf.data(), DriveAt('D', 7), 1024));

  // A write that fails once still lands at its own sectors and nowhere else.
  auto before = Api.Drives['D'].Data;
  auto data = Pattern(1024, 42);
  Api.Clear();
  Api.FailWrite = 1;
  EXPECT_TRUE(disk->WriteSectors(data.data(), data.size()));
  auto writes = Api.Of("WriteFile");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].Position, 7u * 512);
  auto expect = before;
  std::copy(data.begin(), data.end(), expect.begin() + 7 * 512);
  EXPECT_EQ(Api.Drives['D'].Data, expect);

  // A short transfer is not a success.
  Api.Clear();
  Api.ShortTransfer = 1;
  EXPECT_TRUE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.Count("ReadFile"), 2u);
  Api.ShortTransfer = -1;
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_FALSE(disk->WriteSectors(data.data(), data.size()));

  // A seek that fails is never followed by a transfer.
  Api.ShortTransfer = 0;
  Api.Clear();
  Api.FailSeek = -1;
  EXPECT_FALSE(disk->WriteSectors(data.data(), data.size()));
  EXPECT_EQ(Api.Count("SetFilePointer"), 9u);
  EXPECT_EQ(Api.Count("WriteFile"), 0u);
  Api.FailSeek = 0;

  // No retries at all: nothing is tried.
  disk->SetRetries(0);
  Api.Clear();
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_FALSE(disk->WriteSectors(data.data(), data.size()));
  EXPECT_TRUE(Api.Calls.empty());
}

TEST_F(DirDiskTest, NtOffsetsPast4GiBAreSoughtExactly) {
  auto disk = Make(VER_PLATFORM_WIN32_NT);
  disk->SetRetries(1);
  disk->SetNeedWriteWarn(false);
  std::vector<uint8_t> buf(512);
  for (uint32_t first : {0x00800000u, 0x00900001u, 0xFFFFFFFFu}) {
    Api.Clear();
    disk->SetFirstSector(first);
    EXPECT_FALSE(disk->WriteSectors(buf.data(), buf.size()));  // beyond the memory drive
    auto seeks = Api.Of("SetFilePointer");
    ASSERT_EQ(seeks.size(), 1u);
    EXPECT_EQ(seeks[0].Flags, 1u) << "a 64-bit seek passes the high half";
    EXPECT_EQ(seeks[0].Position, uint64_t(first) * 512);
    for (auto& w : Api.Of("WriteFile")) EXPECT_EQ(w.Position, uint64_t(first) * 512);
  }
  EXPECT_EQ(Api.Drives['C'].Data, Pattern(kSectors * 512, 1));
}

TEST_F(DirDiskTest, Win9xClassicRequestBlocks) {
  auto disk = Make(VER_PLATFORM_WIN32_WINDOWS, 950);
  disk->SetDriveName('D');
  disk->SetFirstSector(3);
  disk->SetSectors(2);
  Api.Clear();
  std::vector<uint8_t> buf(1024);
  ASSERT_TRUE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(0, std::memcmp(buf.data(), DriveAt('D', 3), 1024));

  std::vector<std::string> names;
  for (auto& c : Api.Calls) names.push_back(c.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"CreateFileA", "DeviceIoControl", "CloseHandle"}));
  const TDiskCall& open = Api.Calls[0];
  EXPECT_EQ(open.Path, "\\\\.\\vwin32");
  EXPECT_EQ(open.Access, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(open.Share, 0u);
  EXPECT_EQ(open.Creation, 0u);
  EXPECT_EQ(open.Flags, FILE_FLAG_DELETE_ON_CLOSE);
  const TDiskCall& read = Api.Calls[1];
  EXPECT_EQ(read.Handle, open.Handle);
  EXPECT_EQ(read.Code, 2u);
  EXPECT_EQ(read.InSize, 28u);
  EXPECT_EQ(read.OutSize, 28u);
  EXPECT_EQ(read.RegsIn.reg_EAX, 3u);  // drive index of D:
  EXPECT_EQ(read.RegsIn.reg_ECX, 0xFFFFu);
  EXPECT_EQ(read.RegsIn.reg_Flags, 1u);
  ASSERT_TRUE(read.HasPacket);
  EXPECT_EQ(+read.Packet.dwStartSector, 3u);
  EXPECT_EQ(+read.Packet.wSectors, 2u);
  EXPECT_NE(+read.Packet.dwBuffer, 0u);
  EXPECT_EQ(read.RegsOut.reg_Flags & CARRY_FLAG, 0u);

  // With the lock: lock, read, unlock.
  disk->SetNeedDiskLock(true);
  Api.Clear();
  ASSERT_TRUE(disk->ReadSectors(buf.data(), buf.size()));
  auto req = Api.Requests();
  ASSERT_EQ(req.size(), 3u);
  EXPECT_EQ(req[0].Code, 1u);
  EXPECT_EQ(req[0].RegsIn.reg_EAX, 0x440Du);
  EXPECT_EQ(req[0].RegsIn.reg_EBX, 0x104u);
  EXPECT_EQ(req[0].RegsIn.reg_ECX, 0x084Au);
  EXPECT_EQ(req[0].RegsIn.reg_EDX, 1u);
  EXPECT_EQ(req[0].RegsIn.reg_Flags, 1u);
  EXPECT_EQ(req[1].Code, 2u);
  EXPECT_EQ(req[2].Code, 1u);
  EXPECT_EQ(req[2].RegsIn.reg_EAX, 0x440Du);
  EXPECT_EQ(req[2].RegsIn.reg_EBX, 4u);
  EXPECT_EQ(req[2].RegsIn.reg_ECX, 0x086Au);
  EXPECT_EQ(req[2].RegsIn.reg_Flags, 1u);

  // Writes lock whatever NeedDiskLock says: lock, write, unlock.
  disk->SetNeedDiskLock(false);
  disk->SetNeedWriteWarn(false);
  auto data = Pattern(1024, 77);
  auto before = Api.Drives['D'].Data;
  Api.Clear();
  ASSERT_TRUE(disk->WriteSectors(data.data(), data.size()));
  req = Api.Requests();
  ASSERT_EQ(req.size(), 3u);
  EXPECT_EQ(req[0].RegsIn.reg_ECX, 0x084Au);
  EXPECT_EQ(req[1].Code, 3u);
  EXPECT_EQ(req[1].RegsIn.reg_EAX, 3u);
  EXPECT_EQ(req[1].RegsIn.reg_ECX, 0xFFFFu);
  EXPECT_EQ(+req[1].Packet.dwStartSector, 3u);
  EXPECT_EQ(+req[1].Packet.wSectors, 2u);
  EXPECT_EQ(req[2].RegsIn.reg_ECX, 0x086Au);
  auto expect = before;
  std::copy(data.begin(), data.end(), expect.begin() + 3 * 512);
  EXPECT_EQ(Api.Drives['D'].Data, expect);
  EXPECT_EQ(Api.OpenHandles(), 0u);
}

TEST_F(DirDiskTest, Win9xExtendedRequestBlocksAbove1000) {
  for (DWORD build : {1001u, 0x040A08AEu /* 98 SE, low word 2222 */}) {
    SetUp();
    auto disk = Make(VER_PLATFORM_WIN32_WINDOWS, build);
    disk->SetDriveName('D');
    disk->SetFirstSector(9);
    disk->SetNeedDiskLock(true);
    disk->SetNeedWriteWarn(false);
    Api.Clear();
    std::vector<uint8_t> buf(512);
    ASSERT_TRUE(disk->ReadSectors(buf.data(), buf.size()));
    EXPECT_EQ(0, std::memcmp(buf.data(), DriveAt('D', 9), 512));
    auto req = Api.Requests();
    ASSERT_EQ(req.size(), 3u);
    EXPECT_EQ(req[0].RegsIn.reg_ECX, 0x484Au);
    EXPECT_EQ(req[1].Code, 6u);
    EXPECT_EQ(req[1].RegsIn.reg_EAX, 0x7305u);
    EXPECT_EQ(req[1].RegsIn.reg_ECX, 0xFFFFu);
    EXPECT_EQ(req[1].RegsIn.reg_EDX, 4u);
    EXPECT_EQ(req[1].RegsIn.reg_ESI, 0u);
    EXPECT_EQ(req[1].RegsIn.reg_Flags, 1u);
    EXPECT_EQ(req[2].RegsIn.reg_ECX, 0x486Au);
    EXPECT_EQ(req[2].RegsIn.reg_EBX, 4u);

    auto data = Pattern(512, 5);
    Api.Clear();
    ASSERT_TRUE(disk->WriteSectors(data.data(), data.size()));
    req = Api.Requests();
    ASSERT_EQ(req.size(), 3u);
    EXPECT_EQ(req[1].Code, 6u);
    EXPECT_EQ(req[1].RegsIn.reg_ESI, 1u);
    EXPECT_EQ(req[1].RegsIn.reg_EDX, 4u);
    EXPECT_EQ(0, std::memcmp(DriveAt('D', 9), data.data(), 512));
  }
  // 1000 itself is still classic.
  auto disk = Make(VER_PLATFORM_WIN32_WINDOWS, 1000);
  std::vector<uint8_t> buf(512);
  ASSERT_TRUE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.Requests().at(0).Code, 2u);
}

TEST_F(DirDiskTest, Win9xCarryBitAndRetries) {
  auto disk = Make(VER_PLATFORM_WIN32_WINDOWS, 950);
  disk->SetRetries(3);
  disk->SetNeedWriteWarn(false);
  std::vector<uint8_t> buf(512);
  Api.CarryTransfer = -1;
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.Requests().size(), 3u);
  EXPECT_EQ(Api.Count("CreateFileA"), 3u);
  EXPECT_EQ(Api.Count("CloseHandle"), 3u);
  Api.Clear();
  EXPECT_FALSE(disk->WriteSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.Requests().size(), 9u);  // lock, write, unlock, three times

  // Carry on the read, a clean unlock after it: the read still failed.
  Api.Clear();
  Api.CarryTransfer = 1;
  disk->SetRetries(1);
  disk->SetNeedDiskLock(true);
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  auto req = Api.Requests();
  ASSERT_EQ(req.size(), 3u);
  EXPECT_EQ(req[2].RegsOut.reg_Flags & CARRY_FLAG, 0u);
  Api.CarryTransfer = 0;
  EXPECT_TRUE(disk->ReadSectors(buf.data(), buf.size()));

  // DeviceIoControl itself failing.
  disk->SetNeedDiskLock(false);
  Api.FailIoctl = 1;
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  disk->SetRetries(2);
  Api.FailIoctl = 1;
  Api.Clear();
  EXPECT_TRUE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.Requests().size(), 2u);

  // No VWIN32: nothing is sent.
  Api.Clear();
  Api.FailOpen = -1;
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_FALSE(disk->WriteSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.Count("DeviceIoControl"), 0u);
  EXPECT_EQ(Api.Count("CreateFileA"), 4u);

  // A count the packet cannot carry is refused before anything is sent.
  Api.FailOpen = 0;
  Api.Clear();
  disk->SetSectors(0x10000);
  std::vector<uint8_t> big(size_t(0x10000) * 512);
  EXPECT_FALSE(disk->ReadSectors(big.data(), big.size()));
  EXPECT_TRUE(Api.Calls.empty());
}

TEST_F(DirDiskTest, Win9xEachObjectUsesItsOwnDrive) {
  Api.PlatformId = VER_PLATFORM_WIN32_WINDOWS;
  Api.BuildNumber = 950;
  TDirDisk c(nullptr), d(nullptr);
  d.SetDriveName('D');
  c.SetDriveName('C');  // the latest assignment is C, but d keeps D
  Api.Clear();
  std::vector<uint8_t> buf(512);
  ASSERT_TRUE(d.ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(Api.Requests().at(0).RegsIn.reg_EAX, 3u);
  EXPECT_EQ(0, std::memcmp(buf.data(), DriveAt('D', 0), 512));
  // A failed assignment does not move it either.
  d.SetDriveName('X');
  d.SetDriveName('D');
  ASSERT_TRUE(d.ReadSectors(buf.data(), buf.size()));
  EXPECT_EQ(0, std::memcmp(buf.data(), DriveAt('D', 0), 512));
}

TEST_F(DirDiskTest, OtherPlatformsFailEveryTransfer) {
  for (DWORD platform : {VER_PLATFORM_WIN32s, DWORD(3)}) {
    auto disk = Make(platform);
    disk->SetNeedWriteWarn(false);
    std::vector<uint8_t> buf(512);
    EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
    EXPECT_FALSE(disk->WriteSectors(buf.data(), buf.size()));
    EXPECT_TRUE(Api.Calls.empty());
  }
  Api.FailVersion = true;
  auto disk = Make(VER_PLATFORM_WIN32_NT);
  std::vector<uint8_t> buf(512);
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
}

TEST_F(DirDiskTest, FormFilesKeepTheSettings) {
  Api.PlatformId = VER_PLATFORM_WIN32_NT;
  TComponent root(nullptr);
  root.SetName("Form1");
  auto* disk = new TDirDisk(&root);
  disk->SetName("DirDisk1");
  std::string plain = ComponentToText(*disk);
  EXPECT_NE(plain.find("About = '"), std::string::npos);
  EXPECT_EQ(plain.find("DriveName"), std::string::npos);
  EXPECT_EQ(plain.find("Retries"), std::string::npos);

  disk->SetDriveName('D');
  disk->SetFirstSector(4000000000u);
  disk->SetSectors(16);
  disk->SetNeedDiskLock(true);
  disk->SetNeedWriteWarn(false);
  disk->SetRetries(25);
  std::string text = ComponentToText(*disk);
  EXPECT_NE(text.find("DriveName = 'D'"), std::string::npos) << text;
  EXPECT_NE(text.find("FirstSector = 4000000000"), std::string::npos) << text;

  std::unique_ptr<TComponent> back(TextToComponent(text, nullptr));
  auto* copy = dynamic_cast<TDirDisk*>(back.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->DriveName(), 'D');
  EXPECT_TRUE(copy->DriveValid());
  EXPECT_EQ(copy->FirstSector(), 4000000000u);
  EXPECT_EQ(copy->Sectors(), 16u);
  EXPECT_TRUE(copy->NeedDiskLock());
  EXPECT_FALSE(copy->NeedWriteWarn());
  EXPECT_EQ(copy->Retries(), 25);
  EXPECT_EQ(copy->About(), DirDiskBanner);

  // Every byte the field holds comes back, 0 (transfers off) included; only
  // what no byte can hold is refused.
  for (int retries : {0, 26, 255}) {
    disk->SetRetries(static_cast<TRetries>(retries));
    std::unique_ptr<TComponent> again(TextToComponent(ComponentToText(*disk), nullptr));
    EXPECT_EQ(static_cast<TDirDisk*>(again.get())->Retries(), retries);
  }
  const std::string bad = "object D: TDirDisk\n  Retries = 256\nend\n";
  EXPECT_THROW(std::unique_ptr<TComponent>(TextToComponent(bad, nullptr)), Exception);
  const std::string odd = "object D: TDirDisk\n  DriveName = 'DE'\nend\n";
  std::unique_ptr<TComponent> o(TextToComponent(odd, nullptr));
  EXPECT_FALSE(static_cast<TDirDisk*>(o.get())->DriveValid());
  EXPECT_EQ(static_cast<TDirDisk*>(o.get())->DriveName(), 'C');
}

TEST_F(DirDiskTest, FailedNtReadNeverHandsOutAnEarlierTransfersBytes) {
  auto disk = Make(VER_PLATFORM_WIN32_NT);
  disk->SetDriveName('C');
  disk->SetSectors(2);
  disk->SetRetries(1);
  std::vector<uint8_t> buf(1024);
  ASSERT_TRUE(disk->ReadSectors(buf.data(), buf.size()));
  ASSERT_EQ(0, std::memcmp(buf.data(), DriveAt('C', 0), buf.size()));
  // The next read, of another drive, fails: the caller sees zeros, not C's sectors.
  disk->SetDriveName('D');
  Api.FailRead = -1;
  std::fill(buf.begin(), buf.end(), 0xEE);
  EXPECT_FALSE(disk->ReadSectors(buf.data(), buf.size()));
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace evc
