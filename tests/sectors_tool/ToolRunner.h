// Runs the built sectors tool as a child process and collects what it says.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/Noise.h"

namespace evc::test {

struct TToolRun {
  int Status = -1;  // exit status; -1 when it did not exit normally
  std::string Out;
  std::string Err;
  std::string Terminal;  // what it wrote on its terminal (RunOnTerminal)
};

std::string SectorsTool();

// Runs `program` with `args` in a session of its own, without a controlling
// terminal, standard input from `input` (or /dev/null when `input` is null).
// Killed after 30 s.
TToolRun RunTool(const std::vector<std::string>& args, const std::string* input = nullptr,
                 const std::string& program = SectorsTool());
// The same, as user and group `id` (the caller must be root).
TToolRun RunToolAs(unsigned id, const std::vector<std::string>& args);
// Runs the tool with a pseudo-terminal as its controlling terminal and
// types `answer` and a line feed once it asks its question.
TToolRun RunOnTerminal(const std::vector<std::string>& args, const std::string& answer);

// A directory of its own under $TMPDIR (or /tmp), removed with everything in it.
class TScratchDir {
 public:
  TScratchDir();
  ~TScratchDir();
  std::string File(const std::string& name) const { return FPath + "/" + name; }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

using testdata::Noise;
void PutFile(const std::string& path, const std::vector<uint8_t>& data);
std::vector<uint8_t> GetFile(const std::string& path);
bool Exists(const std::string& path);
// What dd reads at a 512-byte sector offset, as an independent reader.
std::vector<uint8_t> DdSectors(const std::string& path, uint64_t skip, uint64_t count);
// Lines of `text`; a last line without a line feed counts too.
std::vector<std::string> Lines(const std::string& text);

}  // namespace evc::test
