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

TEST(CpuinfoTool, ModernReportJsonAndFlagsDescribeTheSameProcessor) {
  if (access(Tool().c_str(), X_OK) != 0) GTEST_SKIP() << "cpuinfo is not built (" << Tool() << ")";
  const std::string zen4 = "--from-dump " + std::string(EVC_SOURCE_DIR) +
                           "/tests/cpu/modern-dumps/zen4_amd-ryzen-9-7900x-12-core-processor.txt";
  std::string out, err;
  ASSERT_EQ(RunTool("--json " + zen4, out, err), 0) << err;
  const auto j = nlohmann::json::parse(out);
  const auto& m = j["Modern"];
  std::vector<std::string> keys;
  for (auto it = m.begin(); it != m.end(); ++it) keys.push_back(it.key());
  const std::vector<std::string> want = {"Brand", "VendorId", "Family", "Model", "Stepping", "Codename",
                                         "CoresPerPackage", "ThreadsPerPackage", "Caches", "Flags", "Hypervisor"};
  for (const std::string& k : want) EXPECT_NE(std::find(keys.begin(), keys.end(), k), keys.end()) << k;
  EXPECT_EQ(m["Brand"], "AMD Ryzen 9 7900X 12-Core Processor");
  EXPECT_EQ(m["Family"], 25);
  EXPECT_EQ(m["Model"], 97);
  EXPECT_EQ(m["Stepping"], 2);
  EXPECT_EQ(m["Codename"], "Zen 4 (Raphael)");
  EXPECT_EQ(m["CoresPerPackage"], 12);
  EXPECT_EQ(m["ThreadsPerPackage"], 24);
  EXPECT_TRUE(m["Hypervisor"].is_null());  // recorded on bare metal
  ASSERT_EQ(m["Caches"].size(), 4u);
  EXPECT_EQ(m["Caches"][0], nlohmann::json::parse(
                                R"({"Level":1,"Type":"Data","SizeKB":32,"Ways":8,"LineSize":64,"SharedBy":2})"));
  EXPECT_EQ(m["Caches"][3]["SizeKB"], 32768);
  EXPECT_EQ(m["Caches"][3]["SharedBy"], 12);  // one CCD of six cores, two threads each
  // The classic results are still there, unchanged by the new object.
  EXPECT_EQ(j["FullName"], "AMD ");
  EXPECT_EQ(j["CPUID"]["MaxLevelEx"], 0);

  ASSERT_EQ(RunTool("--flags " + zen4, out, err), 0) << err;
  std::string joined;
  for (const auto& f : m["Flags"]) joined += (joined.empty() ? "" : " ") + f.get<std::string>();
  EXPECT_EQ(out, joined + "\n");
  EXPECT_NE(out.find(" avx512f "), std::string::npos);

  ASSERT_EQ(RunTool(zen4, out, err), 0) << err;
  for (const char* line : {"Model name:             AMD Ryzen 9 7900X 12-Core Processor\n", "CPU family:             25\n",
                           "Codename:               Zen 4 (Raphael)\n", "Core(s) per package:    12\n",
                           "L3 cache:               32 MiB, 16-way, 64-byte lines, shared by 12 threads\n",
                           "TqmOstra Ostra1\n", "  Vendor           'Advanced Micro Devices'\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "in:\n" << out;
  EXPECT_LT(out.find("Flags:"), out.find("TqmOstra Ostra1")) << "the classic names come after the report";
  EXPECT_NE(RunTool("--flags --json " + zen4, out, err), 0);
}
