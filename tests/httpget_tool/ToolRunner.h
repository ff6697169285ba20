// Runs the httpget program as a user does and collects what it printed.
#pragma once
#include <string>
#include <vector>

namespace httpget_test {

struct TRun {
  int Status = -1;      // exit status; -1 when it did not exit by itself
  std::string Out, Err;
};

std::string ToolPath();
bool ToolBuilt();
// Runs the tool with these arguments (no shell involved); standard input
// comes from `stdinFile` (empty: /dev/null). A run that lasts longer than
// `seconds` is killed and reported with Status -1.
TRun RunTool(const std::vector<std::string>& args, const std::string& stdinFile = {}, int seconds = 30);

std::string ReadFile(const std::string& path);
// A fresh temporary path for this test (not created).
std::string TempPath(const std::string& name);

}  // namespace httpget_test
