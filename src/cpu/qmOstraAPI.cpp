#include "cpu/qmOstraAPI.h"

#include <cpuid.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "cpu/qmOstraConst.h"
#include "platform/kernel.h"

namespace evc {

// --- the processor as a source ---------------------------------------------

bool TqmProcessorCpuid::IDFlagToggles() {
#if defined(__x86_64__)
  uint64_t before = 0, after = 0;
  // The pushes would land in the red zone below the stack pointer, where the
  // compiler may keep locals of this function; step over it first. The flag
  // is put back afterwards: nothing depends on it, and leaving it inverted
  // would only surprise whoever reads the flags next.
  asm volatile(
      "subq $128, %%rsp\n\t"
      "pushfq\n\t"
      "popq %0\n\t"
      "movq %0, %1\n\t"
      "xorq $0x200000, %1\n\t"
      "pushq %1\n\t"
      "popfq\n\t"
      "pushfq\n\t"
      "popq %1\n\t"
      "pushq %0\n\t"
      "popfq\n\t"
      "addq $128, %%rsp\n\t"
      : "=&r"(before), "=&r"(after)
      :
      : "cc", "memory");
  return before != after;
#else
  return false;
#endif
}

TqmRegisters TqmProcessorCpuid::Execute(uint32_t leaf) {
  // The specified queries take no sub-leaf; 0 makes the answer of the leaves
  // that do deterministic.
  return ExecuteSub(leaf, 0);
}

TqmRegisters TqmProcessorCpuid::ExecuteSub(uint32_t leaf, uint32_t subleaf) {
  TqmRegisters r;
  __cpuid_count(leaf, subleaf, r.EAX, r.EBX, r.ECX, r.EDX);
  return r;
}

DWORD TqmProcessorCpuid::ProcessorType() {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  return si.dwProcessorType;
}

DWORD TqmProcessorCpuid::ProcessorCount() {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  return si.dwNumberOfProcessors;
}

// --- recorded dumps ---------------------------------------------------------

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

void SkipBlanks(std::string_view& s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "0x" and one to eight hexadecimal digits.
bool TakeHex(std::string_view& s, uint32_t& value) {
  if (s.size() < 3 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return false;
  s.remove_prefix(2);
  size_t n = 0;
  uint32_t v = 0;
  while (n < s.size() && HexDigit(s[n]) >= 0) {
    if (n == 8) return false;
    v = (v << 4) | static_cast<uint32_t>(HexDigit(s[n]));
    ++n;
  }
  if (n == 0) return false;
  s.remove_prefix(n);
  value = v;
  return true;
}

bool TakeWord(std::string_view& s, std::string_view word) {
  if (s.substr(0, word.size()) != word) return false;
  s.remove_prefix(word.size());
  return true;
}

// "CPU:" or "CPU <n>:"; sets cpu (0 for the lone form).
bool ParseHeader(std::string_view s, long& cpu, bool& isHeader) {
  isHeader = false;
  if (!TakeWord(s, "CPU")) return true;
  isHeader = true;
  SkipBlanks(s);
  cpu = 0;
  if (!s.empty() && s.front() >= '0' && s.front() <= '9') {
    long n = 0;
    while (!s.empty() && s.front() >= '0' && s.front() <= '9') {
      n = n * 10 + (s.front() - '0');
      if (n > 1000000) return false;
      s.remove_prefix(1);
    }
    cpu = n;
  }
  if (!TakeWord(s, ":")) return false;
  SkipBlanks(s);
  return s.empty();
}

bool ParseLeafLine(std::string_view s, uint32_t& leaf, uint32_t& subleaf, TqmRegisters& r) {
  if (!TakeHex(s, leaf)) return false;
  SkipBlanks(s);
  if (!TakeHex(s, subleaf) || !TakeWord(s, ":")) return false;
  static constexpr std::string_view kNames[4] = {"eax=", "ebx=", "ecx=", "edx="};
  uint32_t* dest[4] = {&r.EAX, &r.EBX, &r.ECX, &r.EDX};
  for (int i = 0; i < 4; ++i) {
    size_t before = s.size();
    SkipBlanks(s);
    if (s.size() == before) return false;  // the fields are separated by blanks
    if (!TakeWord(s, kNames[i]) || !TakeHex(s, *dest[i])) return false;
  }
  SkipBlanks(s);
  return s.empty();
}

}  // namespace

TqmDumpCpuid::TqmDumpCpuid(std::map<uint32_t, TqmRegisters> leaves, DWORD processors)
    : FLeaves(std::move(leaves)), FProcessors(processors ? processors : 1) {}

std::shared_ptr<TqmDumpCpuid> TqmDumpCpuid::Parse(std::string_view text) {
  std::map<uint32_t, TqmRegisters> leaves;
  std::map<std::pair<uint32_t, uint32_t>, TqmRegisters> subLeaves;
  std::map<long, bool> cpus;  // headers seen
  long cpu = 0;
  int lineNo = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNo;
    SkipBlanks(line);
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    bool isHeader = false;
    if (!ParseHeader(line, cpu, isHeader))
      throw EqmDumpError(lineNo, "malformed processor header");
    if (isHeader) {
      if (cpus.count(cpu)) throw EqmDumpError(lineNo, "processor " + std::to_string(cpu) + " appears twice");
      cpus[cpu] = true;
      continue;
    }
    uint32_t leaf = 0, subleaf = 0;
    TqmRegisters r;
    if (!ParseLeafLine(line, leaf, subleaf, r))
      throw EqmDumpError(lineNo, "not a leaf line of the form '0x00000001 0x00: eax=0x... ebx=0x... ecx=0x... edx=0x...'");
    if (cpu != 0) continue;
    const bool fresh = subleaf == 0 ? leaves.emplace(leaf, r).second : subLeaves.emplace(std::pair(leaf, subleaf), r).second;
    if (!fresh) {
      char buf[40];
      if (subleaf == 0) std::snprintf(buf, sizeof buf, "leaf 0x%08x", leaf);
      else std::snprintf(buf, sizeof buf, "leaf 0x%08x sub-leaf 0x%02x", leaf, subleaf);
      throw EqmDumpError(lineNo, std::string(buf) + " appears twice");
    }
  }
  if (leaves.empty()) throw EqmDumpError(0, "the dump holds no leaf of processor 0");
  auto dump = std::make_shared<TqmDumpCpuid>(std::move(leaves), static_cast<DWORD>(cpus.empty() ? 1 : cpus.size()));
  dump->FSubLeaves = std::move(subLeaves);
  return dump;
}

std::shared_ptr<TqmDumpCpuid> TqmDumpCpuid::FromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EqmDumpError(0, "cannot open " + path);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw EqmDumpError(0, "cannot read " + path);
  return Parse(text.str());
}

TqmRegisters TqmDumpCpuid::Execute(uint32_t leaf) {
  auto it = FLeaves.find(leaf);
  return it == FLeaves.end() ? TqmRegisters{} : it->second;
}

// Sub-leaf 0 is read from the leaf table directly, not through Execute, so
// that the enumerating reads stay apart from the ones a test counts there.
TqmRegisters TqmDumpCpuid::ExecuteSub(uint32_t leaf, uint32_t subleaf) {
  if (subleaf == 0) return TqmDumpCpuid::Execute(leaf);
  auto it = FSubLeaves.find({leaf, subleaf});
  return it == FSubLeaves.end() ? TqmRegisters{} : it->second;
}

void TqmDumpCpuid::SetSubLeaf(uint32_t leaf, uint32_t subleaf, const TqmRegisters& regs) {
  if (subleaf == 0) FLeaves[leaf] = regs;
  else FSubLeaves[{leaf, subleaf}] = regs;
}

DWORD TqmDumpCpuid::ProcessorType() {
  if (FProcessorType) return FProcessorType;
  uint32_t family = (Execute(qmLeafSignature).EAX >> 8) & 0xF;
  return family >= 5 ? PROCESSOR_INTEL_PENTIUM : PROCESSOR_INTEL_486;
}

// --- current source and clock -----------------------------------------------

namespace {
std::shared_ptr<TqmCpuidSource>& CurrentSource() {
  static std::shared_ptr<TqmCpuidSource> source = std::make_shared<TqmProcessorCpuid>();
  return source;
}
std::shared_ptr<TqmClock>& CurrentClock() {
  static std::shared_ptr<TqmClock> clock = std::make_shared<TqmClock>();
  return clock;
}
}  // namespace

TqmCpuidSource& qmCpuidSource() { return *CurrentSource(); }

std::shared_ptr<TqmCpuidSource> qmSetCpuidSource(std::shared_ptr<TqmCpuidSource> source) {
  if (!source) source = std::make_shared<TqmProcessorCpuid>();
  std::swap(CurrentSource(), source);
  return source;
}

DWORD TqmClock::Ticks() { return GetTickCount(); }
uint64_t TqmClock::Cycles() { return ReadTimeStampCounter(); }
void TqmClock::Pause(DWORD ms) { Sleep(ms); }

TqmClock& qmClock() { return *CurrentClock(); }

std::shared_ptr<TqmClock> qmSetClock(std::shared_ptr<TqmClock> clock) {
  if (!clock) clock = std::make_shared<TqmClock>();
  std::swap(CurrentClock(), clock);
  return clock;
}

// --- access layer -----------------------------------------------------------

int32_t qmLastError = 0;
volatile double qmFDivX = 4195835.0;
volatile double qmFDivY = 3145727.0;

bool qmCPUIDSupported() { return qmCpuidSource().IDFlagToggles(); }

uint32_t qmMaxLevel() {
  if (!qmCPUIDSupported()) {
    qmLastError = -1;
    return 0;
  }
  return qmCpuidSource().Execute(qmLeafMaxLevel).EAX;
}

uint32_t qmMaxLevelEx() {
  if (!qmCPUIDSupported()) {
    qmLastError = -1;
    return 0;
  }
  return qmCpuidSource().Execute(qmLeafMaxLevelEx).EAX;
}

bool qmQueryCPUID(uint32_t leaf, uint8_t repeat, TqmRegisters& regs) {
  if (!qmCPUIDSupported()) {
    qmLastError = -1;
    return false;
  }
  // Signed first: every extended leaf is negative and so always passes. A
  // standard leaf above the standard maximum still passes when the extended
  // maximum, read unsigned, reaches it. The feature and cache code relies on
  // both acceptances.
  bool accepted = static_cast<int32_t>(leaf) <= static_cast<int32_t>(qmMaxLevel());
  if (!accepted) accepted = leaf <= qmMaxLevelEx();
  if (!accepted) {
    qmLastError = -2;
    return false;
  }
  for (unsigned i = 0; i < repeat; ++i) regs = qmCpuidSource().Execute(leaf);
  qmLastError = 0;
  return true;
}

int32_t qmExtLevelCount() {
  uint32_t x = qmMaxLevelEx() & 0x7FFFFFFFu;
  return x < 8 ? static_cast<int32_t>(x) : 0;
}

namespace {
void AppendRegister(std::string& s, uint32_t r) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((r >> (8 * i)) & 0xFF);
}
}  // namespace

std::string qmVendorString() {
  TqmRegisters r;
  if (!qmQueryCPUID(qmLeafVendorID, 1, r)) return "Unknown";
  std::string s;
  AppendRegister(s, r.EBX);
  AppendRegister(s, r.EDX);
  AppendRegister(s, r.ECX);
  return s;
}

uint32_t qmSignature() {
  TqmRegisters r;
  return qmQueryCPUID(qmLeafSignature, 1, r) ? r.EAX : 0;
}

uint32_t qmBrandIndex() {
  TqmRegisters r;
  return qmQueryCPUID(qmLeafSignature, 1, r) ? (r.EBX & 0xFF) : 0;
}

uint32_t qmFeatureWord() {
  TqmRegisters r;
  return qmQueryCPUID(qmLeafFeatures, 1, r) ? r.EDX : 0;
}

uint32_t qmFeatureWordEx() {
  TqmRegisters r;
  return qmQueryCPUID(qmLeafFeaturesEx, 1, r) ? r.EDX : 0;
}

bool qmTestBit(uint32_t word, uint32_t bit) { return bit < 32 && ((word >> bit) & 1u) != 0; }

std::string qmBrandString() {
  std::string s;
  for (uint32_t leaf : {qmLeafBrand1, qmLeafBrand2, qmLeafBrand3}) {
    TqmRegisters r;
    if (!qmQueryCPUID(leaf, 1, r)) continue;
    AppendRegister(s, r.EAX);
    AppendRegister(s, r.EBX);
    AppendRegister(s, r.ECX);
    AppendRegister(s, r.EDX);
  }
  return s;
}

TqmDescriptors qmDescriptorsOf(const TqmRegisters& regs) {
  TqmDescriptors d{};
  const uint32_t words[4] = {regs.EAX, regs.EBX, regs.ECX, regs.EDX};
  for (int w = 0; w < 4; ++w)
    for (int b = 0; b < 4; ++b) d[w * 4 + b] = static_cast<uint8_t>((words[w] >> (8 * b)) & 0xFF);
  return d;
}

bool qmLeaf2Descriptors(TqmDescriptors& list) {
  list.fill(0);
  TqmRegisters r;
  if (!qmQueryCPUID(qmLeafCacheDescriptors, 1, r)) return false;
  uint8_t n = static_cast<uint8_t>(r.EAX & 0xFF);
  if (n < 2) {
    list = qmDescriptorsOf(r);
    return true;
  }
  // The processor hands out its descriptors over n executions; the last one
  // holds the complete set.
  bool ok = qmQueryCPUID(qmLeafCacheDescriptors, n, r);
  list = qmDescriptorsOf(r);
  return ok;
}

void qmExecExtCacheLeaf(int selector, TqmRegisters& regs) {
  regs = TqmRegisters{};
  if (!qmCPUIDSupported()) return;
  regs = qmCpuidSource().Execute(selector == 0 ? qmLeafLevel1Cache : qmLeafLevel2Cache);
}

namespace {
std::string DashedHex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X-%04X", v >> 16, v & 0xFFFF);
  return buf;
}
}  // namespace

std::string qmSerialNumber() {
  TqmRegisters r;
  if (!qmQueryCPUID(qmLeafSignature, 1, r)) return "";
  std::string s = DashedHex(r.EAX) + "-";
  if (!qmQueryCPUID(qmLeafSerialNumber, 1, r)) return "";
  return s + DashedHex(r.EDX) + "-" + DashedHex(r.ECX);
}

}  // namespace evc
