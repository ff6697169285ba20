// wsock's command line and its name lookups.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ToolProcess.h"
#include "common/LoopbackPeer.h"

using namespace wsocktest;

namespace {

// The names that the hosts file gives 127.0.0.1.
std::vector<std::string> HostsNamesOfLoopback() {
  std::ifstream hosts("/etc/hosts");
  std::vector<std::string> names;
  std::string line;
  while (std::getline(hosts, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string addr, name;
    if (!(words >> addr) || addr != "127.0.0.1") continue;
    while (words >> name) names.push_back(name);
  }
  return names;
}

TEST(WsockLookup, LocalhostHasTheLoopbackAddress) {
  TToolResult r = RunTool({"lookup", "localhost"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(("\n" + r.Out).find("\n127.0.0.1\n"), std::string::npos) << r.Out;
  EXPECT_EQ(r.Err, "");
}

TEST(WsockLookup, DottedAddressIsItsOwnResult) {
  TToolResult r = RunTool({"lookup", "10.1.2.3"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "10.1.2.3\n");
}

TEST(WsockLookup, ReverseOfLoopbackIsANameFromTheHostsFile) {
  std::vector<std::string> names = HostsNamesOfLoopback();
  if (names.empty()) GTEST_SKIP() << "the hosts file names no 127.0.0.1";
  TToolResult r = RunTool({"reverse", "127.0.0.1"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  ASSERT_FALSE(r.Out.empty());
  EXPECT_EQ(r.Out.back(), '\n');
  std::string name = r.Out.substr(0, r.Out.size() - 1);
  EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
}

// Output to a descriptor that was closed at start is an error, never bytes
// written into whatever the tool opened in its place.
TEST(WsockArguments, ClosedStandardOutputIsReported) {
  std::string out;
  int rc = loopback::RunProgram({"/bin/sh", "-c", ToolPath() + " lookup localhost 2>&1 >&-; echo status=$?"}, &out);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, "wsock: standard output: Bad file descriptor\nstatus=1\n");
}

TEST(WsockArguments, UsageErrorsExitWithTwoAndOneClearLine) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"connect", "127.0.0.1"},
      {"connect", "127.0.0.1", "70000"},
      {"connect", "127.0.0.1", "80x"},
      {"connect", "127.0.0.1", "80", "--proto", "sctp"},
      {"connect", "127.0.0.1", "80", "--local-port", "-1"},
      {"connect", "", "80"},
      {"listen", "127.0.0.1"},
      {"listen", "127.0.0.1", "0", "--bogus"},
      {"listen", "127.0.0.1", "0", "--backlog", "0"},
      {"listen", "127.0.0.1", "0", "--backlog", "many"},
      {"lookup"},
      {"reverse", "127.0.0.1", "extra"},
  };
  for (const auto& args : bad) {
    std::string shown;
    for (const auto& a : args) shown += "'" + a + "' ";
    TToolResult r = RunTool(args);
    EXPECT_EQ(r.Status, 2) << shown << r.Err;
    EXPECT_EQ(r.Err.rfind("wsock: ", 0), 0u) << shown << r.Err;
    EXPECT_EQ(r.Out, "") << shown;
  }
}

TEST(WsockArguments, HelpListsTheCommands) {
  TToolResult r = RunTool({"--help"});
  EXPECT_EQ(r.Status, 0);
  for (const char* word : {"connect", "listen", "lookup", "reverse"})
    EXPECT_NE(r.Out.find(word), std::string::npos) << word;
  TToolResult c = RunTool({"connect", "--help"});
  EXPECT_EQ(c.Status, 0);
  EXPECT_NE(c.Out.find("--proto"), std::string::npos);
  EXPECT_NE(c.Out.find("--local-port"), std::string::npos);
}

}  // namespace
