// The sectors tool's command line: every refusal is one line on standard
// error with a non-zero status, touches no drive, and only mapped paths are
// ever opened as drives.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "sectors_tool/ToolRunner.h"

namespace evc::test {
namespace {

class SectorsArgsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Image = Dir.File("disk.img");
    Data = Noise(64 * 512, 31);
    PutFile(Image, Data);
    PutFile(Dir.File("in.bin"), Noise(512, 1));
  }
  TScratchDir Dir;
  std::string Image;
  std::vector<uint8_t> Data;
};

TEST_F(SectorsArgsTest, HelpPrintsTheUsage) {
  for (const char* flag : {"--help", "-h"}) {
    TToolRun r = RunTool({flag});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out.rfind("usage: sectors --map X=PATH", 0), 0u) << r.Out;
    EXPECT_NE(r.Out.find("write --first N"), std::string::npos);
    EXPECT_EQ(r.Err, "");
  }
}

TEST_F(SectorsArgsTest, BadCommandLinesAreRefusedInOneLine) {
  const std::string map = "S=" + Image;
  const std::string in = Dir.File("in.bin");
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{}, "no command given"},
      {{"--map", map}, "no command given"},
      {{"info"}, "no drive mapped"},
      {{"--map", map, "format"}, "unknown command 'format'"},
      {{"--map", map, "info", "read"}, "unexpected argument 'read'"},
      {{"--map", map, "--frist", "1", "read"}, "unknown option '--frist'"},
      {{"--map", "S"}, "not of the form X=PATH"},
      {{"--map", "1=" + Image, "info"}, "'1' is not a drive letter"},
      {{"--map", "SS=" + Image, "info"}, "'SS' is not a drive letter"},
      {{"--map", "S=", "info"}, "names no path"},
      {{"--map", map, "--map", "s=" + Image, "info"}, "mapped twice"},
      {{"--map", map, "--map", "T=" + Image, "info"}, "choose one with --drive"},
      {{"--map", map, "--drive", "T", "info"}, "drive T: is not mapped"},
      {{"--map", map, "read"}, "read needs --first N"},
      {{"--map", map, "read", "--first"}, "--first needs a value"},
      {{"--map", map, "read", "--first", ""}, "is not a whole number"},
      {{"--map", map, "read", "--first", "-1"}, "'-1' is not a whole number"},
      {{"--map", map, "read", "--first", "+1"}, "'+1' is not a whole number"},
      {{"--map", map, "read", "--first", "1x"}, "'1x' is not a whole number"},
      {{"--map", map, "read", "--first", " 1"}, "is not a whole number"},
      {{"--map", map, "read", "--first", "0x"}, "'0x' is not a whole number"},
      {{"--map", map, "read", "--first", "4294967296"}, "from 0 to 4294967295"},
      {{"--map", map, "read", "--first", "0x100000000"}, "from 0 to 4294967295"},
      {{"--map", map, "read", "--first", "18446744073709551617"}, "from 0 to 4294967295"},
      {{"--map", map, "read", "--first", "1", "--first", "2"}, "given twice"},
      {{"--map", map, "read", "--first", "1", "--count", "0"},
       "--count '0' is not a whole number from 1 to 4294967295"},
      {{"--map", map, "read", "--first", "1", "--count", "4294967296"},
       "--count '4294967296' is not a whole number from 1 to 4294967295"},
      {{"--map", map, "read", "--first", "4294967295", "--count", "2"}, "past sector number 4294967295"},
      // Each option has one range, told the same way below it and above it.
      {{"--map", map, "read", "--first", "1", "--retries", "0"}, "--retries '0' is not a whole number from 1 to 25"},
      {{"--map", map, "read", "--first", "1", "--retries", "26"}, "--retries '26' is not a whole number from 1 to 25"},
      {{"--map", map, "read", "--first", "1", "--retries", "x"}, "--retries 'x' is not a whole number from 1 to 25"},
      {{"--map", map, "read", "--first", "1", "--lock=yes"}, "takes no value"},
      {{"--map", map, "read", "--first", "1", "-i", in}, "-i does not apply to read"},
      {{"--map", map, "read", "--first", "1", "--yes"}, "--yes does not apply to read"},
      {{"--map", map, "info", "--first", "1"}, "--first does not apply to info"},
      {{"--map", map, "write", "--first", "1"}, "write needs -i FILE"},
      {{"--map", map, "write", "--first", "1", "-i", in, "-o", Dir.File("o")}, "-o does not apply to write"},
  };
  for (const Case& c : cases) {
    TToolRun r = RunTool(c.args);
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    EXPECT_NE(r.Status, 0) << shown;
    EXPECT_EQ(r.Out, "") << shown;
    ASSERT_EQ(Lines(r.Err).size(), 1u) << shown << "\n" << r.Err;
    EXPECT_EQ(r.Err.rfind("sectors: ", 0), 0u) << r.Err;
    EXPECT_NE(r.Err.find(c.says), std::string::npos) << shown << "\n" << r.Err;
  }
  EXPECT_EQ(GetFile(Image), Data);
  EXPECT_FALSE(Exists(Dir.File("o")));
}

TEST_F(SectorsArgsTest, NumbersInBothBasesAndOptionsWithEquals) {
  TToolRun r = RunTool({"--map=S=" + Image, "read", "--first=0x3F", "--count=1", "-o", Dir.File("a.bin")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(GetFile(Dir.File("a.bin")), std::vector<uint8_t>(Data.end() - 512, Data.end()));
  r = RunTool({"read", "--first", "63", "--map", "S=" + Image, "-o", Dir.File("b.bin"), "--retries", "25"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(GetFile(Dir.File("b.bin")), GetFile(Dir.File("a.bin")));
}

// Every file the tool opens, as strace sees it, is the mapped image, the
// named input or output, or part of the system it runs on.
TEST_F(SectorsArgsTest, OnlyMappedAndNamedFilesAreOpened) {
  TToolRun probe = RunTool({"-f", "-o", "/dev/null", "/bin/true"}, nullptr, "/usr/bin/strace");
  if (probe.Status != 0) GTEST_SKIP() << "strace cannot trace here: " << probe.Err;
  PutFile(Dir.File("other.img"), Data);
  const std::string log = Dir.File("trace.log");
  const std::vector<std::vector<std::string>> runs = {
      {"--map", "S=" + Image, "info"},
      {"--map", "S=" + Image, "--map", "T=" + Dir.File("other.img"), "--drive", "S", "read", "--first", "2", "-o",
       Dir.File("out.bin")},
      {"--map", "S=" + Image, "write", "--first", "2", "-i", Dir.File("in.bin"), "--yes", "--lock"},
      {"--map", "S=" + Image, "write", "--first", "2", "-i", Dir.File("in.bin")},
  };
  for (const auto& args : runs) {
    // LeakSanitizer cannot run under a tracer; in a sanitizer build the
    // traced run goes without it.
    std::vector<std::string> traced = {"-f", "-qq", "-e", "trace=open,openat,openat2,creat", "-o", log,
                                       "-E", "ASAN_OPTIONS=detect_leaks=0", SectorsTool()};
    traced.insert(traced.end(), args.begin(), args.end());
    TToolRun r = RunTool(traced, nullptr, "/usr/bin/strace");
    ASSERT_NE(r.Status, -1) << r.Err;
    std::ifstream f(log);
    std::set<std::string> opened;
    for (std::string line; std::getline(f, line);) {
      size_t q = line.find('"');
      if (q == std::string::npos || line.find("= -1") != std::string::npos) continue;
      opened.insert(line.substr(q + 1, line.find('"', q + 1) - q - 1));
    }
    const std::set<std::string> allowed = {Image, Dir.File("in.bin"), Dir.File("out.bin"), "/dev/tty",
                                           "/dev/null"};
    for (const std::string& path : opened) {
      bool system = path.rfind("/lib", 0) == 0 || path.rfind("/usr/", 0) == 0 || path.rfind("/etc/", 0) == 0 ||
                    path.rfind("/proc/", 0) == 0 || path.rfind("/sys/", 0) == 0 ||
                    path.rfind(EVC_BINARY_DIR, 0) == 0;
      bool temporary = path.rfind(Dir.File("out.bin") + ".", 0) == 0;
      EXPECT_TRUE(system || temporary || allowed.count(path)) << "opened " << path << " running " << args.back();
    }
    EXPECT_TRUE(opened.count(Image)) << "the trace saw the image opened";
    EXPECT_FALSE(opened.count(Dir.File("other.img"))) << "a mapped drive that is not used is not opened";
  }
}

}  // namespace
}  // namespace evc::test
