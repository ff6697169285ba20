#include "Options.h"

#include <cctype>
#include <vector>

namespace sectors {

const char* const UsageText =
    "usage: sectors --map X=PATH [--map Y=PATH ...] [--drive X] COMMAND [OPTIONS]\n"
    "\n"
    "Reads and writes absolute sectors of an image file or block device through\n"
    "a TDirDisk. Only the paths given with --map are ever opened as drives.\n"
    "\n"
    "  --map X=PATH     make PATH drive X: (a letter); may be repeated\n"
    "  --drive X        the drive to use (default: the only mapped one)\n"
    "  -h, --help       show this text\n"
    "\n"
    "commands:\n"
    "  info             bytes per sector, size and whether the drive is usable\n"
    "  read  --first N [--count K] [-o FILE] [--lock] [--retries R]\n"
    "                   K sectors (default 1) from sector N: a hex dump with\n"
    "                   byte offsets on standard output, or the raw bytes in FILE\n"
    "  write --first N [--count K] -i FILE [--yes] [--lock] [--retries R]\n"
    "                   K sectors from FILE (\"-\": standard input) to sector N;\n"
    "                   without --count, all of FILE, a whole number of sectors.\n"
    "                   Asks on the terminal first unless --yes; with no terminal\n"
    "                   to ask on, nothing is written.\n"
    "\n"
    "  --lock           lock the drive around each transfer\n"
    "  --retries R      attempts per transfer, 1 to 25 (default 2)\n"
    "\n"
    "Numbers are decimal or 0x-prefixed hexadecimal. The exit status is 0 on\n"
    "success, 1 for a refusal or failure and 2 for a command line that cannot\n"
    "be carried out, each told in one line on standard error.\n";

uint64_t ParseNumber(const std::string& text, uint64_t min, uint64_t max, const std::string& what) {
  // One range and one message for every way a value can miss it.
  auto bad = [&] {
    return TUsageError(what + " '" + text + "' is not a whole number from " + std::to_string(min) + " to " +
                       std::to_string(max));
  };
  unsigned base = 10;
  size_t i = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= text.size()) throw bad();
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && std::isxdigit(c))
      digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
    else
      throw bad();
    // Checked before multiplying, so no value wraps into range.
    if (value > (max - digit) / base) throw bad();
    value = value * base + digit;
  }
  if (value < min) throw bad();
  return value;
}

namespace {

char DriveLetter(const std::string& text, const std::string& what) {
  if (text.size() == 1 && std::isalpha(static_cast<unsigned char>(text[0])))
    return static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  throw TUsageError(what + " '" + text + "' is not a drive letter A to Z");
}

// Which command each option belongs to; global options belong to all.
enum TScope : unsigned { kGlobal = 0, kRead = 1, kWrite = 2, kTransfer = kRead | kWrite };

struct TSeen {
  std::string Name;
  unsigned Scope;
};

}  // namespace

TOptions ParseOptions(int argc, const char* const* argv) {
  TOptions o;
  std::vector<TSeen> seen;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string name = arg, value;
    bool inlineValue = false;
    if (arg.rfind("--", 0) == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        inlineValue = true;
      }
    }
    auto takeValue = [&]() -> std::string {
      if (inlineValue) return value;
      if (i + 1 >= argc) throw TUsageError("option " + name + " needs a value");
      return argv[++i];
    };
    auto once = [&](unsigned scope) {
      for (const TSeen& s : seen)
        if (s.Name == name) throw TUsageError("option " + name + " given twice");
      seen.push_back({name, scope});
    };
    auto noValue = [&] {
      if (inlineValue) throw TUsageError("option " + name + " takes no value");
    };

    if (name == "-h" || name == "--help") {
      noValue();
      o.Help = true;
    } else if (name == "--map") {
      std::string m = takeValue();
      size_t eq = m.find('=');
      if (eq == std::string::npos) throw TUsageError("--map '" + m + "' is not of the form X=PATH");
      char d = DriveLetter(m.substr(0, eq), "--map drive");
      std::string path = m.substr(eq + 1);
      if (path.empty()) throw TUsageError("--map " + std::string(1, d) + "= names no path");
      if (!o.Maps.emplace(d, path).second) throw TUsageError("drive " + std::string(1, d) + ": is mapped twice");
    } else if (name == "--drive") {
      once(kGlobal);
      o.Drive = DriveLetter(takeValue(), "--drive");
    } else if (name == "--first") {
      once(kTransfer);
      o.First = static_cast<uint32_t>(ParseNumber(takeValue(), 0, 0xFFFFFFFFu, "--first"));
      o.HasFirst = true;
    } else if (name == "--count") {
      once(kTransfer);
      o.Count = static_cast<uint32_t>(ParseNumber(takeValue(), 1, 0xFFFFFFFFu, "--count"));
      o.HasCount = true;
    } else if (name == "-o" || name == "--output") {
      once(kRead);
      o.Output = takeValue();
      if (o.Output.empty()) throw TUsageError("option " + name + " names no file");
    } else if (name == "-i" || name == "--input") {
      once(kWrite);
      o.Input = takeValue();
      if (o.Input.empty()) throw TUsageError("option " + name + " names no file");
    } else if (name == "--yes") {
      once(kWrite);
      noValue();
      o.Yes = true;
    } else if (name == "--lock") {
      once(kTransfer);
      noValue();
      o.Lock = true;
    } else if (name == "--retries") {
      once(kTransfer);
      o.Retries = static_cast<uint32_t>(ParseNumber(takeValue(), 1, 25, "--retries"));
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      throw TUsageError("unknown option '" + arg + "' (try --help)");
    } else {
      if (o.Command != TCommand::None) throw TUsageError("unexpected argument '" + arg + "' (try --help)");
      if (arg == "info")
        o.Command = TCommand::Info;
      else if (arg == "read")
        o.Command = TCommand::Read;
      else if (arg == "write")
        o.Command = TCommand::Write;
      else
        throw TUsageError("unknown command '" + arg + "' (try --help)");
    }
  }
  if (o.Help) return o;

  if (o.Command == TCommand::None) throw TUsageError("no command given: info, read or write (try --help)");
  const unsigned mine = o.Command == TCommand::Read ? unsigned(kRead) : o.Command == TCommand::Write ? unsigned(kWrite) : 0u;
  const char* command = o.Command == TCommand::Info ? "info" : o.Command == TCommand::Read ? "read" : "write";
  for (const TSeen& s : seen)
    if (s.Scope != kGlobal && !(s.Scope & mine))
      throw TUsageError("option " + s.Name + " does not apply to " + command);
  if (o.Maps.empty()) throw TUsageError("no drive mapped: give --map X=PATH");
  if (o.Drive == 0) {
    if (o.Maps.size() > 1) throw TUsageError("several drives are mapped: choose one with --drive");
    o.Drive = o.Maps.begin()->first;
  } else if (!o.Maps.count(o.Drive)) {
    throw TUsageError("drive " + std::string(1, o.Drive) + ": is not mapped (give --map " +
                      std::string(1, o.Drive) + "=PATH)");
  }
  if (o.Command != TCommand::Info && !o.HasFirst) throw TUsageError(std::string(command) + " needs --first N");
  if (o.Command == TCommand::Write && o.Input.empty()) throw TUsageError("write needs -i FILE");
  // The last sector of the transfer must itself be a sector number.
  if (o.HasCount && uint64_t(o.First) + o.Count - 1 > 0xFFFFFFFFull)
    throw TUsageError("sectors " + std::to_string(o.First) + " to " + std::to_string(uint64_t(o.First) + o.Count - 1) +
                      " go past sector number 4294967295");
  return o;
}

}  // namespace sectors
