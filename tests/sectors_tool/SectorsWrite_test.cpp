// The sectors tool's write command: what it writes lands where dd finds it,
// nothing else changes, and without a Yes nothing is written at all.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "sectors_tool/ToolRunner.h"

namespace evc::test {
namespace {

class SectorsWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Image = Dir.File("disk.img");
    Data = Noise(4096 * 512, 21);
    PutFile(Image, Data);
    Input = Dir.File("input.bin");
  }
  std::vector<std::string> Args(std::vector<std::string> rest) {
    rest.insert(rest.begin(), {"--map", "S=" + Image});
    return rest;
  }
  // The image must be the original with `patch` at sector `first`.
  void ExpectImage(uint64_t first, const std::vector<uint8_t>& patch) {
    std::vector<uint8_t> expect = Data;
    std::copy(patch.begin(), patch.end(), expect.begin() + first * 512);
    std::vector<uint8_t> now = GetFile(Image);
    ASSERT_EQ(now.size(), expect.size()) << "the image never grows or shrinks";
    EXPECT_TRUE(now == expect) << "the image differs outside or inside the written sectors";
  }
  TScratchDir Dir;
  std::string Image, Input;
  std::vector<uint8_t> Data;
};

TEST_F(SectorsWriteTest, WriteWithYesLandsWhereDdReadsIt) {
  std::vector<uint8_t> patch = Noise(5 * 512, 1);
  PutFile(Input, patch);
  TToolRun r = RunTool(Args({"write", "--first", "100", "-i", Input, "--yes"}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_EQ(DdSectors(Image, 100, 5), patch);
  ExpectImage(100, patch);

  // Read back through the tool too.
  r = RunTool(Args({"read", "--first", "100", "--count", "5", "-o", Dir.File("back.bin")}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(GetFile(Dir.File("back.bin")), patch);
}

TEST_F(SectorsWriteTest, LongWriteAcrossSeveralCallsAndTheLastSector) {
  // 2500 sectors reach the end of the drive in more than one component call.
  std::vector<uint8_t> patch = Noise(2500 * 512, 2);
  PutFile(Input, patch);
  TToolRun r = RunTool(Args({"write", "--first", "1596", "--count", "2500", "-i", Input, "--yes", "--lock"}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(DdSectors(Image, 1596, 2500), patch);
  ExpectImage(1596, patch);
}

TEST_F(SectorsWriteTest, CountTakesThePartOfALongerInputAndStandardInputWorks) {
  std::vector<uint8_t> patch = Noise(3 * 512 + 77, 3);
  PutFile(Input, patch);
  TToolRun r = RunTool(Args({"write", "--first", "9", "--count", "2", "-i", Input, "--yes"}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  std::vector<uint8_t> firstTwo(patch.begin(), patch.begin() + 1024);
  ExpectImage(9, firstTwo);

  std::string piped(1024, 'x');
  r = RunTool(Args({"write", "--first", "9", "-i", "-", "--yes"}), &piped);
  ASSERT_EQ(r.Status, 0) << r.Err;
  ExpectImage(9, std::vector<uint8_t>(1024, 'x'));
}

TEST_F(SectorsWriteTest, WithoutYesAndWithoutATerminalNothingIsWritten) {
  PutFile(Input, Noise(512, 4));
  TToolRun r = RunTool(Args({"write", "--first", "0", "-i", Input}));
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Out, "");
  ASSERT_EQ(Lines(r.Err).size(), 1u) << r.Err;
  EXPECT_EQ(r.Err.rfind("sectors: write to drive S:", 0), 0u) << r.Err;
  EXPECT_NE(r.Err.find("no terminal"), std::string::npos) << r.Err;
  ExpectImage(0, {});
}

TEST_F(SectorsWriteTest, TheWarningIsAskedOnTheTerminalAndOnlyYesWrites) {
  std::vector<uint8_t> patch = Noise(2 * 512, 5);
  PutFile(Input, patch);
  for (const char* answer : {"n", "", "yes please"}) {
    TToolRun r = RunOnTerminal(Args({"write", "--first", "30", "-i", Input}), answer);
    EXPECT_EQ(r.Status, 1) << answer;
    EXPECT_NE(r.Terminal.find("Do you want to write to the drive S: really?"), std::string::npos) << r.Terminal;
    EXPECT_NE(r.Err.find("not answered Yes"), std::string::npos) << r.Err;
    ExpectImage(0, {});
  }
  TToolRun r = RunOnTerminal(Args({"write", "--first", "30", "-i", Input}), "y");
  ASSERT_EQ(r.Status, 0) << r.Err << r.Terminal;
  EXPECT_NE(r.Terminal.find("Attention"), std::string::npos) << r.Terminal;
  ExpectImage(30, patch);
}

TEST_F(SectorsWriteTest, InputsThatDoNotFitAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    std::vector<uint8_t> input;
    std::vector<std::string> args;
    const char* says;
  };
  const std::vector<Case> cases = {
      {Noise(3 * 512 - 1, 6), {"--first", "5", "--count", "3"}, "holds 1535 bytes, 1536 needed"},
      {Noise(1000, 6), {"--first", "5"}, "not a whole number of 512-byte sectors"},
      {{}, {"--first", "5"}, "is empty"},
      {Noise(4 * 512, 6), {"--first", "4093"}, "past the end of drive S:"},
      {Noise(4 * 512, 6), {"--first", "4093", "--count", "4"}, "past the end of drive S:"},
      {Noise(512, 6), {"--first", "4096"}, "past the end of drive S:"},
  };
  for (const Case& c : cases) {
    PutFile(Input, c.input);
    std::vector<std::string> args = {"write", "-i", Input, "--yes"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    TToolRun r = RunTool(Args(args));
    EXPECT_EQ(r.Status, 1) << c.says;
    ASSERT_EQ(Lines(r.Err).size(), 1u) << r.Err;
    EXPECT_NE(r.Err.find(c.says), std::string::npos) << r.Err;
    ExpectImage(0, {});
  }
  TToolRun r = RunTool(Args({"write", "--first", "1", "-i", Dir.File("missing.bin"), "--yes"}));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("cannot open input"), std::string::npos) << r.Err;
  ExpectImage(0, {});
}

TEST_F(SectorsWriteTest, LockedWriteIsRefusedWhileAnotherProcessHoldsTheDrive) {
  PutFile(Input, Noise(512, 7));
  FILE* held = std::fopen(Image.c_str(), "rb");
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(flock(fileno(held), LOCK_EX), 0);
  TToolRun r = RunTool(Args({"write", "--first", "3", "-i", Input, "--yes", "--lock"}));
  std::fclose(held);
  EXPECT_EQ(r.Status, 1);
  ASSERT_EQ(Lines(r.Err).size(), 1u) << r.Err;
  EXPECT_NE(r.Err.find("cannot lock"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("nothing written"), std::string::npos) << r.Err;
  ExpectImage(0, {});
}

TEST_F(SectorsWriteTest, AReadOnlyImageIsReportedNotSilentlySkipped) {
  PutFile(Input, Noise(512, 8));
  ASSERT_EQ(chmod(Image.c_str(), 0444), 0);
  std::vector<std::string> args = Args({"write", "--first", "3", "-i", Input, "--yes"});
  TToolRun r;
  if (geteuid() == 0) {
    // Root writes read-only files; an unprivileged user does not.
    ASSERT_EQ(chmod(Dir.Path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(Input.c_str(), 0444), 0);
    r = RunToolAs(65534, args);
  } else {
    r = RunTool(args);
  }
  EXPECT_EQ(r.Status, 1) << r.Err;
  ASSERT_EQ(Lines(r.Err).size(), 1u) << r.Err;
  EXPECT_NE(r.Err.find("cannot open it: access denied"), std::string::npos) << r.Err;
  ExpectImage(0, {});
}

}  // namespace
}  // namespace evc::test
