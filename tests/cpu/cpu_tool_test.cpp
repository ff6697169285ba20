// The cpuinfo program, run as a user runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>
#include <algorithm>

#include "cpu_helpers.h"

namespace {

std::string Tool() { return std::string(EVC_BINARY_DIR) + "/bin/cpuinfo"; }

// Runs the tool with `args`; returns its exit status and fills out and err.
int RunTool(const std::string& args, std::string& out, std::string& err) {
  const std::string errFile = ::testing::TempDir() + "cpuinfo_err.txt";
  FILE* p = popen((Tool() + " " + args + " 2>" + errFile).c_str(), "r");
  if (!p) return -1;
  out.clear();
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int status = pclose(p);
  std::ifstream e(errFile);
  err.assign(std::istreambuf_iterator<char>(e), {});
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(CpuinfoTool, JsonFromDumpKeepsBrandStringBytes) {
  if (access(Tool().c_str(), X_OK) != 0) GTEST_SKIP() << "cpuinfo is not built (" << Tool() << ")";
  std::string out, err;
  ASSERT_EQ(RunTool("--json --from-dump " + cputest::DumpPath("amd_k6_2.txt") + " --bench 20", out, err), 0) << err;
  auto j = nlohmann::json::parse(out);
  EXPECT_EQ(j["Vendor"], "Advanced Micro Devices");
  EXPECT_EQ(j["CPU"], "K6-2");
  EXPECT_EQ(j["FullName"].get<std::string>(), std::string("AMD-K6(tm) 3D processor") + std::string(25, '\0'));
  EXPECT_EQ(j["AutoBench"]["Delay"], 20);
  EXPECT_EQ(j["CPUID"]["MaxLevelEx"], 5);
  EXPECT_EQ(j["FeatureSetEx"]["AMD3DNow"], true);
  EXPECT_EQ(j["VersionInfo"]["API"]["Build"], 45);
  EXPECT_EQ(j["VersionInfo"]["VCL"]["Status"], "bsFinal");
  EXPECT_GT(j["Speed"].get<int>(), 0);
}

TEST(CpuinfoTool, SavesAndLoadsFormsAndRefusesBadInputWithOneLine) {
  if (access(Tool().c_str(), X_OK) != 0) GTEST_SKIP() << "cpuinfo is not built (" << Tool() << ")";
  const std::string form = ::testing::TempDir() + "cpuinfo_form.txt";
  std::string out, err;
  ASSERT_EQ(RunTool("--bench 15 --save-form " + form, out, err), 0) << err;
  std::ifstream f(form);
  std::string text(std::istreambuf_iterator<char>(f), {});
  EXPECT_EQ(text, "object Ostra1: TqmOstra\n  AutoBench.Enabled = True\n  AutoBench.Delay = 15\nend\n");
  ASSERT_EQ(RunTool("--form " + form, out, err), 0) << err;
  EXPECT_NE(out.find("TqmOstra Ostra1"), std::string::npos);
  EXPECT_NE(out.find("Delay            15"), std::string::npos);

  for (const std::string& args : std::vector<std::string>{"--bench 0", "--bench 60001", "--bench abc", "--from-dump /nonexistent",
                                 "--form /nonexistent", "--from-dump " + cputest::DumpPath("../cpu_api_test.cpp"),
                                 "--bench 5 --form " + form, "--unknown"}) {
    EXPECT_NE(RunTool(args, out, err), 0) << args;
    EXPECT_EQ(err.rfind("cpuinfo: ", 0), 0u) << args << ": " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << args << ": " << err;
  }
  std::ofstream bad(form);
  bad << "object X: TqmOstra\n  AutoBench.Delay = oops\nend\n";
  bad.close();
  EXPECT_EQ(RunTool("--form " + form, out, err), 1);
  EXPECT_NE(err.find("Line 2"), std::string::npos) << err;
}
