#include "cpu/qmFlagTable.h"

#include <cstdint>

namespace evc {

namespace {

enum Reg : uint8_t { EAX, EBX, ECX, EDX };

struct Flag {
  uint32_t Leaf;
  uint8_t Sub;
  Reg In;
  uint8_t Bit;
  const char* Name;
};

// Bits the kernel hides (its names in quotes as ""), and bits it shows
// under a flag computed from other sources, are left out.
constexpr Flag kFlags[] = {
    // leaf 1 EDX
    {1, 0, EDX, 0, "fpu"}, {1, 0, EDX, 1, "vme"}, {1, 0, EDX, 2, "de"}, {1, 0, EDX, 3, "pse"},
    {1, 0, EDX, 4, "tsc"}, {1, 0, EDX, 5, "msr"}, {1, 0, EDX, 6, "pae"}, {1, 0, EDX, 7, "mce"},
    {1, 0, EDX, 8, "cx8"}, {1, 0, EDX, 9, "apic"}, {1, 0, EDX, 11, "sep"}, {1, 0, EDX, 12, "mtrr"},
    {1, 0, EDX, 13, "pge"}, {1, 0, EDX, 14, "mca"}, {1, 0, EDX, 15, "cmov"}, {1, 0, EDX, 16, "pat"},
    {1, 0, EDX, 17, "pse36"}, {1, 0, EDX, 18, "pn"}, {1, 0, EDX, 19, "clflush"}, {1, 0, EDX, 21, "dts"},
    {1, 0, EDX, 22, "acpi"}, {1, 0, EDX, 23, "mmx"}, {1, 0, EDX, 24, "fxsr"}, {1, 0, EDX, 25, "sse"},
    {1, 0, EDX, 26, "sse2"}, {1, 0, EDX, 27, "ss"}, {1, 0, EDX, 28, "ht"}, {1, 0, EDX, 29, "tm"},
    {1, 0, EDX, 31, "pbe"},
    // 0x80000001 EDX, the bits that do not repeat leaf 1
    {0x80000001, 0, EDX, 11, "syscall"}, {0x80000001, 0, EDX, 19, "mp"}, {0x80000001, 0, EDX, 20, "nx"},
    {0x80000001, 0, EDX, 22, "mmxext"}, {0x80000001, 0, EDX, 25, "fxsr_opt"}, {0x80000001, 0, EDX, 26, "pdpe1gb"},
    {0x80000001, 0, EDX, 27, "rdtscp"}, {0x80000001, 0, EDX, 29, "lm"}, {0x80000001, 0, EDX, 30, "3dnowext"},
    {0x80000001, 0, EDX, 31, "3dnow"},
    // invariant TSC: the kernel sets both from this one bit
    {0x80000007, 0, EDX, 8, "constant_tsc"}, {0x80000007, 0, EDX, 8, "nonstop_tsc"},
    // leaf 1 ECX
    {1, 0, ECX, 0, "pni"}, {1, 0, ECX, 1, "pclmulqdq"}, {1, 0, ECX, 2, "dtes64"}, {1, 0, ECX, 3, "monitor"},
    {1, 0, ECX, 4, "ds_cpl"}, {1, 0, ECX, 5, "vmx"}, {1, 0, ECX, 6, "smx"}, {1, 0, ECX, 7, "est"},
    {1, 0, ECX, 8, "tm2"}, {1, 0, ECX, 9, "ssse3"}, {1, 0, ECX, 10, "cid"}, {1, 0, ECX, 11, "sdbg"},
    {1, 0, ECX, 12, "fma"}, {1, 0, ECX, 13, "cx16"}, {1, 0, ECX, 14, "xtpr"}, {1, 0, ECX, 15, "pdcm"},
    {1, 0, ECX, 17, "pcid"}, {1, 0, ECX, 18, "dca"}, {1, 0, ECX, 19, "sse4_1"}, {1, 0, ECX, 20, "sse4_2"},
    {1, 0, ECX, 21, "x2apic"}, {1, 0, ECX, 22, "movbe"}, {1, 0, ECX, 23, "popcnt"},
    {1, 0, ECX, 24, "tsc_deadline_timer"}, {1, 0, ECX, 25, "aes"}, {1, 0, ECX, 26, "xsave"},
    {1, 0, ECX, 27, "osxsave"}, {1, 0, ECX, 28, "avx"}, {1, 0, ECX, 29, "f16c"}, {1, 0, ECX, 30, "rdrand"},
    {1, 0, ECX, 31, "hypervisor"},
    // 0x80000001 ECX
    {0x80000001, 0, ECX, 0, "lahf_lm"}, {0x80000001, 0, ECX, 1, "cmp_legacy"}, {0x80000001, 0, ECX, 2, "svm"},
    {0x80000001, 0, ECX, 3, "extapic"}, {0x80000001, 0, ECX, 4, "cr8_legacy"}, {0x80000001, 0, ECX, 5, "abm"},
    {0x80000001, 0, ECX, 6, "sse4a"}, {0x80000001, 0, ECX, 7, "misalignsse"},
    {0x80000001, 0, ECX, 8, "3dnowprefetch"}, {0x80000001, 0, ECX, 9, "osvw"}, {0x80000001, 0, ECX, 10, "ibs"},
    {0x80000001, 0, ECX, 11, "xop"}, {0x80000001, 0, ECX, 12, "skinit"}, {0x80000001, 0, ECX, 13, "wdt"},
    {0x80000001, 0, ECX, 15, "lwp"}, {0x80000001, 0, ECX, 16, "fma4"}, {0x80000001, 0, ECX, 17, "tce"},
    {0x80000001, 0, ECX, 19, "nodeid_msr"}, {0x80000001, 0, ECX, 21, "tbm"}, {0x80000001, 0, ECX, 22, "topoext"},
    {0x80000001, 0, ECX, 23, "perfctr_core"}, {0x80000001, 0, ECX, 24, "perfctr_nb"},
    {0x80000001, 0, ECX, 26, "bpext"}, {0x80000001, 0, ECX, 27, "ptsc"}, {0x80000001, 0, ECX, 28, "perfctr_llc"},
    {0x80000001, 0, ECX, 29, "mwaitx"},
    // bits the kernel scatters into a word of its own
    {6, 0, ECX, 3, "epb"}, {0x80000007, 0, EDX, 7, "hw_pstate"}, {0x80000007, 0, EDX, 9, "cpb"},
    {0x80000007, 0, EDX, 11, "proc_feedback"},
    // leaf 7.0 EBX
    {7, 0, EBX, 0, "fsgsbase"}, {7, 0, EBX, 1, "tsc_adjust"}, {7, 0, EBX, 2, "sgx"}, {7, 0, EBX, 3, "bmi1"},
    {7, 0, EBX, 4, "hle"}, {7, 0, EBX, 5, "avx2"}, {7, 0, EBX, 7, "smep"}, {7, 0, EBX, 8, "bmi2"},
    {7, 0, EBX, 9, "erms"}, {7, 0, EBX, 10, "invpcid"}, {7, 0, EBX, 11, "rtm"}, {7, 0, EBX, 12, "cqm"},
    {7, 0, EBX, 14, "mpx"}, {7, 0, EBX, 15, "rdt_a"}, {7, 0, EBX, 16, "avx512f"}, {7, 0, EBX, 17, "avx512dq"},
    {7, 0, EBX, 18, "rdseed"}, {7, 0, EBX, 19, "adx"}, {7, 0, EBX, 20, "smap"}, {7, 0, EBX, 21, "avx512ifma"},
    {7, 0, EBX, 23, "clflushopt"}, {7, 0, EBX, 24, "clwb"}, {7, 0, EBX, 25, "intel_pt"},
    {7, 0, EBX, 26, "avx512pf"}, {7, 0, EBX, 27, "avx512er"}, {7, 0, EBX, 28, "avx512cd"},
    {7, 0, EBX, 29, "sha_ni"}, {7, 0, EBX, 30, "avx512bw"}, {7, 0, EBX, 31, "avx512vl"},
    // leaf 0xD.1 EAX
    {0xD, 1, EAX, 0, "xsaveopt"}, {0xD, 1, EAX, 1, "xsavec"}, {0xD, 1, EAX, 2, "xgetbv1"},
    {0xD, 1, EAX, 3, "xsaves"}, {0xD, 1, EAX, 4, "xfd"},
    // leaf 7.1 EAX
    {7, 1, EAX, 4, "avx_vnni"}, {7, 1, EAX, 5, "avx512_bf16"}, {7, 1, EAX, 7, "cmpccxadd"},
    {7, 1, EAX, 10, "fzrm"}, {7, 1, EAX, 11, "fsrs"}, {7, 1, EAX, 12, "fsrc"}, {7, 1, EAX, 18, "lkgs"},
    {7, 1, EAX, 21, "amx_fp16"}, {7, 1, EAX, 23, "avx_ifma"}, {7, 1, EAX, 26, "lam"},
    // 0x80000008 EBX
    {0x80000008, 0, EBX, 0, "clzero"}, {0x80000008, 0, EBX, 1, "irperf"}, {0x80000008, 0, EBX, 2, "xsaveerptr"},
    {0x80000008, 0, EBX, 4, "rdpru"}, {0x80000008, 0, EBX, 9, "wbnoinvd"}, {0x80000008, 0, EBX, 23, "amd_ppin"},
    {0x80000008, 0, EBX, 25, "virt_ssbd"}, {0x80000008, 0, EBX, 27, "cppc"}, {0x80000008, 0, EBX, 31, "brs"},
    // leaf 6 EAX: thermal and power
    {6, 0, EAX, 0, "dtherm"}, {6, 0, EAX, 1, "ida"}, {6, 0, EAX, 2, "arat"}, {6, 0, EAX, 4, "pln"},
    {6, 0, EAX, 6, "pts"}, {6, 0, EAX, 7, "hwp"}, {6, 0, EAX, 8, "hwp_notify"}, {6, 0, EAX, 9, "hwp_act_window"},
    {6, 0, EAX, 10, "hwp_epp"}, {6, 0, EAX, 11, "hwp_pkg_req"}, {6, 0, EAX, 19, "hfi"},
    // leaf 7.0 ECX
    {7, 0, ECX, 1, "avx512vbmi"}, {7, 0, ECX, 2, "umip"}, {7, 0, ECX, 3, "pku"}, {7, 0, ECX, 4, "ospke"},
    {7, 0, ECX, 5, "waitpkg"}, {7, 0, ECX, 6, "avx512_vbmi2"}, {7, 0, ECX, 8, "gfni"}, {7, 0, ECX, 9, "vaes"},
    {7, 0, ECX, 10, "vpclmulqdq"}, {7, 0, ECX, 11, "avx512_vnni"}, {7, 0, ECX, 12, "avx512_bitalg"},
    {7, 0, ECX, 13, "tme"}, {7, 0, ECX, 14, "avx512_vpopcntdq"}, {7, 0, ECX, 16, "la57"},
    {7, 0, ECX, 22, "rdpid"}, {7, 0, ECX, 24, "bus_lock_detect"}, {7, 0, ECX, 25, "cldemote"},
    {7, 0, ECX, 27, "movdiri"}, {7, 0, ECX, 28, "movdir64b"}, {7, 0, ECX, 29, "enqcmd"}, {7, 0, ECX, 30, "sgx_lc"},
    // 0x80000007 EBX
    {0x80000007, 0, EBX, 0, "overflow_recov"}, {0x80000007, 0, EBX, 1, "succor"}, {0x80000007, 0, EBX, 3, "smca"},
    // leaf 7.0 EDX
    {7, 0, EDX, 2, "avx512_4vnniw"}, {7, 0, EDX, 3, "avx512_4fmaps"}, {7, 0, EDX, 4, "fsrm"},
    {7, 0, EDX, 8, "avx512_vp2intersect"}, {7, 0, EDX, 10, "md_clear"}, {7, 0, EDX, 14, "serialize"},
    {7, 0, EDX, 16, "tsxldtrk"}, {7, 0, EDX, 18, "pconfig"}, {7, 0, EDX, 19, "arch_lbr"}, {7, 0, EDX, 20, "ibt"},
    {7, 0, EDX, 22, "amx_bf16"}, {7, 0, EDX, 23, "avx512_fp16"}, {7, 0, EDX, 24, "amx_tile"},
    {7, 0, EDX, 25, "amx_int8"}, {7, 0, EDX, 28, "flush_l1d"}, {7, 0, EDX, 29, "arch_capabilities"},
};

uint32_t Word(const TqmRegisters& r, Reg in) {
  switch (in) {
    case EAX: return r.EAX;
    case EBX: return r.EBX;
    case ECX: return r.ECX;
    case EDX: return r.EDX;
  }
  return 0;
}

}  // namespace

std::vector<std::string> qmKernelFlags(const TqmLeafReader& leaves) {
  // Sub-leaf 1 of leaf 7 exists only when 7.0 EAX, its highest sub-leaf,
  // says so; 0xD.1 is defined wherever 0xD is.
  const bool has71 = leaves.Leaf(7).EAX >= 1;
  std::vector<std::string> flags;
  for (const Flag& f : kFlags) {
    if (f.Leaf == 7 && f.Sub == 1 && !has71) continue;
    if (qmBits(Word(leaves.Leaf(f.Leaf, f.Sub), f.In), f.Bit, f.Bit)) flags.emplace_back(f.Name);
  }
  return flags;
}

}  // namespace evc
