// The sectors tool's info and read commands on real image files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <sys/file.h>

#include "sectors_tool/ToolRunner.h"

namespace evc::test {
namespace {

class SectorsReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Image = Dir.File("disk.img");
    Data = Noise(256 * 512, 11);
    PutFile(Image, Data);
  }
  std::vector<std::string> Args(std::vector<std::string> rest) {
    rest.insert(rest.begin(), {"--map", "S=" + Image});
    return rest;
  }
  std::vector<uint8_t> Sectors(uint64_t first, uint64_t count) {
    return {Data.begin() + first * 512, Data.begin() + (first + count) * 512};
  }
  TScratchDir Dir;
  std::string Image;
  std::vector<uint8_t> Data;
};

// The dump read back into bytes, with the offset each line claims checked
// against where the line falls in the transfer.
std::vector<uint8_t> ParseDump(const std::string& text, uint64_t firstOffset) {
  std::vector<uint8_t> bytes;
  uint64_t expect = firstOffset;
  for (const std::string& line : Lines(text)) {
    EXPECT_EQ(std::strtoull(line.substr(0, line.find(' ')).c_str(), nullptr, 16), expect) << line;
    size_t bar = line.find('|');
    EXPECT_NE(bar, std::string::npos) << line;
    const std::string hex = line.substr(line.find(' '), bar - line.find(' '));
    size_t before = bytes.size();
    for (size_t i = 0; i + 1 < hex.size(); ++i)
      if (hex[i] != ' ' && hex[i + 1] != ' ') {
        bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
        ++i;
      }
    // The text column shows the same bytes, printable ones as they are.
    std::string shown = line.substr(bar + 1, line.size() - bar - 2);
    EXPECT_EQ(shown.size(), bytes.size() - before) << line;
    for (size_t i = 0; i < shown.size() && before + i < bytes.size(); ++i) {
      uint8_t b = bytes[before + i];
      EXPECT_EQ(shown[i], b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.') << line;
    }
    expect += bytes.size() - before;
  }
  return bytes;
}

TEST_F(SectorsReadTest, InfoReportsTheGeometryOfTheImage) {
  // A trailing partial sector is not part of the drive.
  std::vector<uint8_t> odd = Noise(100 * 512 + 300, 3);
  PutFile(Dir.File("odd.img"), odd);
  TToolRun r = RunTool({"--map", "s=" + Dir.File("odd.img"), "info"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_NE(r.Out.find("drive valid:         yes"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("bytes per sector:    512"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("100 sectors, 51200 bytes"), std::string::npos) << r.Out;

  // With two drives the one chosen is reported, not the first mapped.
  r = RunTool({"--map", "S=" + Image, "--map", "T=" + Dir.File("odd.img"), "--drive", "t", "info"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("T: ("), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("100 sectors"), std::string::npos) << r.Out;
}

TEST_F(SectorsReadTest, InfoOnSomethingThatIsNoDiskFailsWithItsReason) {
  for (const std::string& path : {Dir.File("missing.img"), Dir.Path()}) {
    TToolRun r = RunTool({"--map", "S=" + path, "info"});
    EXPECT_EQ(r.Status, 1) << path;
    EXPECT_NE(r.Out.find("drive valid:         no"), std::string::npos) << r.Out;
    ASSERT_EQ(Lines(r.Err).size(), 1u) << r.Err;
    EXPECT_EQ(r.Err.rfind("sectors: cannot use drive S:", 0), 0u) << r.Err;
  }
  EXPECT_FALSE(Exists(Dir.File("missing.img"))) << "nothing is ever created for a drive";
}

TEST_F(SectorsReadTest, HexDumpShowsTheSectorsAtTheirDriveOffsets) {
  TToolRun r = RunTool(Args({"read", "--first", "17", "--count", "3"}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Lines(r.Out).size(), 3u * 512 / 16);
  EXPECT_EQ(Lines(r.Out)[0].substr(0, 10), "00002200  ");
  EXPECT_EQ(ParseDump(r.Out, 17 * 512), Sectors(17, 3));

  // The count defaults to one sector, and the last sector of the drive reads.
  r = RunTool(Args({"read", "--first", "0xff"}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(ParseDump(r.Out, 255 * 512), Sectors(255, 1));
}

TEST_F(SectorsReadTest, RawReadMatchesWhatDdReads) {
  // 3000 sectors take several component calls; the seams must not show.
  Data = Noise(3000 * 512, 5);
  PutFile(Image, Data);
  TToolRun r = RunTool(Args({"read", "--first", "7", "--count", "2990", "-o", Dir.File("out.bin")}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "");
  EXPECT_EQ(GetFile(Dir.File("out.bin")), DdSectors(Image, 7, 2990));
  EXPECT_EQ(GetFile(Dir.File("out.bin")), Sectors(7, 2990));
}

TEST_F(SectorsReadTest, ReadsPastTheEndAreRefusedAndLeaveTheOutputAlone) {
  PutFile(Dir.File("out.bin"), {1, 2, 3});
  for (std::vector<std::string> span : {std::vector<std::string>{"--first", "256"},
                                        {"--first", "250", "--count", "7"},
                                        {"--first", "4294967295"}}) {
    span.insert(span.begin(), "read");
    span.insert(span.end(), {"-o", Dir.File("out.bin")});
    TToolRun r = RunTool(Args(span));
    EXPECT_EQ(r.Status, 1) << span[2];
    ASSERT_EQ(Lines(r.Err).size(), 1u) << r.Err;
    EXPECT_NE(r.Err.find("past the end of drive S:"), std::string::npos) << r.Err;
    EXPECT_EQ(GetFile(Dir.File("out.bin")), (std::vector<uint8_t>{1, 2, 3}));
  }
  EXPECT_EQ(GetFile(Image), Data);
}

TEST_F(SectorsReadTest, OutputNeverReplacesAMappedImage) {
  TToolRun r = RunTool(Args({"read", "--first", "0", "-o", Image}));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("is the image of drive S:"), std::string::npos) << r.Err;
  EXPECT_EQ(GetFile(Image), Data);
}

TEST_F(SectorsReadTest, OutputReplacesAnExistingFileWhole) {
  PutFile(Dir.File("out.bin"), Noise(5000, 9));
  TToolRun r = RunTool(Args({"read", "--first", "1", "-o", Dir.File("out.bin")}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(GetFile(Dir.File("out.bin")), Sectors(1, 1)) << "no tail of the old file stays behind";
  // No temporary file is left beside it.
  size_t files = 0;
  for (auto it = std::filesystem::directory_iterator(Dir.Path()); it != std::filesystem::directory_iterator(); ++it)
    ++files;
  EXPECT_EQ(files, 2u);
}

TEST_F(SectorsReadTest, RawOutputToADeviceOrPipeIsWrittenInPlace) {
  TToolRun r = RunTool(Args({"read", "--first", "40", "--count", "4", "-o", "/dev/stdout"}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(std::vector<uint8_t>(r.Out.begin(), r.Out.end()), Sectors(40, 4));
  r = RunTool(Args({"read", "--first", "40", "-o", "/dev/null"}));
  EXPECT_EQ(r.Status, 0) << r.Err;
}

TEST_F(SectorsReadTest, LockedReadFailsWhileAnotherProcessHoldsTheDrive) {
  TToolRun r = RunTool(Args({"read", "--first", "2", "--lock", "-o", Dir.File("a.bin")}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(GetFile(Dir.File("a.bin")), Sectors(2, 1));

  FILE* held = std::fopen(Image.c_str(), "rb");
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(flock(fileno(held), LOCK_EX), 0);
  r = RunTool(Args({"read", "--first", "2", "--lock", "--retries", "3", "-o", Dir.File("b.bin")}));
  std::fclose(held);
  EXPECT_EQ(r.Status, 1);
  ASSERT_EQ(Lines(r.Err).size(), 1u) << r.Err;
  EXPECT_NE(r.Err.find("cannot lock"), std::string::npos) << r.Err;
  EXPECT_FALSE(Exists(Dir.File("b.bin")));
}

}  // namespace
}  // namespace evc::test
