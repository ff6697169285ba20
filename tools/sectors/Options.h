// The command line of the sectors tool, parsed into one plain record.
#pragma once
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

namespace sectors {

enum class TCommand { None, Info, Read, Write };

struct TOptions {
  bool Help = false;
  TCommand Command = TCommand::None;
  std::map<char, std::string> Maps;  // upper-case letter -> path
  char Drive = 0;                    // 0: the only mapped letter
  bool HasFirst = false;
  uint32_t First = 0;
  bool HasCount = false;
  uint32_t Count = 1;
  std::string Output;  // read: raw bytes here instead of a hex dump
  std::string Input;   // write: the data ("-" for standard input)
  bool Yes = false;
  bool Lock = false;
  uint32_t Retries = 2;
};

// A command line that cannot be carried out; the message is one line.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws TUsageError for anything it cannot accept: unknown options,
// missing values, numbers that are not whole numbers in range, options that
// do not belong to the command.
TOptions ParseOptions(int argc, const char* const* argv);

// A whole number in decimal or with a 0x prefix, no sign, no blanks, from
// `min` to `max`. Throws TUsageError naming `what` and that range.
uint64_t ParseNumber(const std::string& text, uint64_t min, uint64_t max, const std::string& what);

extern const char* const UsageText;

}  // namespace sectors
