#include "cpu/qmCodenames.h"

#include <cstdint>

namespace evc {

namespace {

struct Row {
  TqmVendorKind Vendor;
  uint16_t Family;
  uint16_t ModelLo, ModelHi;
  uint8_t SteppingLo, SteppingHi;  // 0..15 for any stepping
  const char* Name;
};

using V = TqmVendorKind;

// Display family and model as the kernel prints them. The first row that
// matches wins, so narrower rows (a stepping range) come first.
constexpr Row kRows[] = {
    // Intel Core, family 6
    {V::Intel, 6, 0x0F, 0x0F, 0, 15, "Core (Merom)"},
    {V::Intel, 6, 0x16, 0x16, 0, 15, "Core (Merom-L)"},
    {V::Intel, 6, 0x17, 0x17, 0, 15, "Penryn"},
    {V::Intel, 6, 0x1D, 0x1D, 0, 15, "Penryn (Dunnington)"},
    {V::Intel, 6, 0x1A, 0x1A, 0, 15, "Nehalem (Bloomfield/Gainestown)"},
    {V::Intel, 6, 0x1E, 0x1F, 0, 15, "Nehalem (Lynnfield/Clarksfield)"},
    {V::Intel, 6, 0x2E, 0x2E, 0, 15, "Nehalem-EX"},
    {V::Intel, 6, 0x25, 0x25, 0, 15, "Westmere (Arrandale)"},
    {V::Intel, 6, 0x2C, 0x2C, 0, 15, "Westmere-EP"},
    {V::Intel, 6, 0x2F, 0x2F, 0, 15, "Westmere-EX"},
    {V::Intel, 6, 0x2A, 0x2A, 0, 15, "Sandy Bridge"},
    {V::Intel, 6, 0x2D, 0x2D, 0, 15, "Sandy Bridge-E"},
    {V::Intel, 6, 0x3A, 0x3A, 0, 15, "Ivy Bridge"},
    {V::Intel, 6, 0x3E, 0x3E, 0, 15, "Ivy Bridge-E"},
    {V::Intel, 6, 0x3C, 0x3C, 0, 15, "Haswell"},
    {V::Intel, 6, 0x45, 0x46, 0, 15, "Haswell"},
    {V::Intel, 6, 0x3F, 0x3F, 0, 15, "Haswell-E"},
    {V::Intel, 6, 0x3D, 0x3D, 0, 15, "Broadwell"},
    {V::Intel, 6, 0x47, 0x47, 0, 15, "Broadwell"},
    {V::Intel, 6, 0x4F, 0x4F, 0, 15, "Broadwell-E"},
    {V::Intel, 6, 0x56, 0x56, 0, 15, "Broadwell-DE"},
    {V::Intel, 6, 0x4E, 0x4E, 0, 15, "Skylake"},
    {V::Intel, 6, 0x5E, 0x5E, 0, 15, "Skylake"},
    {V::Intel, 6, 0x55, 0x55, 0, 4, "Skylake-SP"},
    {V::Intel, 6, 0x55, 0x55, 5, 7, "Cascade Lake"},
    {V::Intel, 6, 0x55, 0x55, 10, 11, "Cooper Lake"},
    {V::Intel, 6, 0x8E, 0x8E, 0, 9, "Kaby Lake"},
    {V::Intel, 6, 0x8E, 0x8E, 10, 10, "Coffee Lake"},
    {V::Intel, 6, 0x8E, 0x8E, 11, 12, "Whiskey Lake"},
    {V::Intel, 6, 0x9E, 0x9E, 0, 9, "Kaby Lake"},
    {V::Intel, 6, 0x9E, 0x9E, 10, 15, "Coffee Lake"},
    {V::Intel, 6, 0xA5, 0xA6, 0, 15, "Comet Lake"},
    {V::Intel, 6, 0x66, 0x66, 0, 15, "Cannon Lake"},
    {V::Intel, 6, 0x7D, 0x7E, 0, 15, "Ice Lake"},
    {V::Intel, 6, 0x6A, 0x6A, 0, 15, "Ice Lake-SP"},
    {V::Intel, 6, 0x6C, 0x6C, 0, 15, "Ice Lake-D"},
    {V::Intel, 6, 0x8C, 0x8D, 0, 15, "Tiger Lake"},
    {V::Intel, 6, 0xA7, 0xA7, 0, 15, "Rocket Lake"},
    {V::Intel, 6, 0x8F, 0x8F, 0, 15, "Sapphire Rapids"},
    {V::Intel, 6, 0xCF, 0xCF, 0, 15, "Emerald Rapids"},
    {V::Intel, 6, 0xAD, 0xAE, 0, 15, "Granite Rapids"},
    {V::Intel, 6, 0x97, 0x97, 0, 15, "Alder Lake"},
    {V::Intel, 6, 0x9A, 0x9A, 0, 15, "Alder Lake"},
    {V::Intel, 6, 0xBE, 0xBE, 0, 15, "Alder Lake-N"},
    {V::Intel, 6, 0xB7, 0xB7, 0, 15, "Raptor Lake"},
    {V::Intel, 6, 0xBA, 0xBA, 0, 15, "Raptor Lake"},
    {V::Intel, 6, 0xBF, 0xBF, 0, 15, "Raptor Lake"},
    {V::Intel, 6, 0xAA, 0xAC, 0, 15, "Meteor Lake"},
    {V::Intel, 6, 0xB5, 0xB5, 0, 15, "Arrow Lake"},
    {V::Intel, 6, 0xC5, 0xC6, 0, 15, "Arrow Lake"},
    {V::Intel, 6, 0xBD, 0xBD, 0, 15, "Lunar Lake"},
    // Intel Atom cores, family 6
    {V::Intel, 6, 0x1C, 0x1C, 0, 15, "Bonnell (Diamondville)"},
    {V::Intel, 6, 0x26, 0x26, 0, 15, "Bonnell (Lincroft)"},
    {V::Intel, 6, 0x27, 0x27, 0, 15, "Saltwell (Penwell)"},
    {V::Intel, 6, 0x35, 0x35, 0, 15, "Saltwell (Cloverview)"},
    {V::Intel, 6, 0x36, 0x36, 0, 15, "Saltwell (Cedarview)"},
    {V::Intel, 6, 0x37, 0x37, 0, 15, "Silvermont (Bay Trail)"},
    {V::Intel, 6, 0x4A, 0x4A, 0, 15, "Silvermont (Tangier)"},
    {V::Intel, 6, 0x4D, 0x4D, 0, 15, "Silvermont (Avoton)"},
    {V::Intel, 6, 0x5A, 0x5A, 0, 15, "Silvermont (Anniedale)"},
    {V::Intel, 6, 0x4C, 0x4C, 0, 15, "Airmont (Cherry Trail)"},
    {V::Intel, 6, 0x5C, 0x5C, 0, 15, "Goldmont (Apollo Lake)"},
    {V::Intel, 6, 0x5F, 0x5F, 0, 15, "Goldmont (Denverton)"},
    {V::Intel, 6, 0x7A, 0x7A, 0, 15, "Goldmont Plus (Gemini Lake)"},
    {V::Intel, 6, 0x86, 0x86, 0, 15, "Tremont (Snow Ridge)"},
    {V::Intel, 6, 0x96, 0x96, 0, 15, "Tremont (Elkhart Lake)"},
    {V::Intel, 6, 0x9C, 0x9C, 0, 15, "Tremont (Jasper Lake)"},
    {V::Intel, 6, 0xAF, 0xAF, 0, 15, "Crestmont (Sierra Forest)"},
    {V::Intel, 6, 0xB6, 0xB6, 0, 15, "Crestmont (Grand Ridge)"},
    // AMD
    {V::AMD, 0x0F, 0x00, 0xFF, 0, 15, "K8"},
    {V::AMD, 0x10, 0x02, 0x02, 0, 15, "K10 (Barcelona)"},
    {V::AMD, 0x10, 0x04, 0x04, 0, 15, "K10 (Deneb)"},
    {V::AMD, 0x10, 0x05, 0x05, 0, 15, "K10 (Propus)"},
    {V::AMD, 0x10, 0x06, 0x06, 0, 15, "K10 (Regor)"},
    {V::AMD, 0x10, 0x08, 0x08, 0, 15, "K10 (Istanbul)"},
    {V::AMD, 0x10, 0x09, 0x09, 0, 15, "K10 (Magny-Cours)"},
    {V::AMD, 0x10, 0x0A, 0x0A, 0, 15, "K10 (Thuban)"},
    {V::AMD, 0x10, 0x00, 0xFF, 0, 15, "K10"},
    {V::AMD, 0x11, 0x00, 0xFF, 0, 15, "K10 (Griffin)"},
    {V::AMD, 0x12, 0x00, 0xFF, 0, 15, "K10 (Llano)"},
    {V::AMD, 0x14, 0x00, 0xFF, 0, 15, "Bobcat"},
    {V::AMD, 0x15, 0x00, 0x01, 0, 15, "Bulldozer"},
    {V::AMD, 0x15, 0x02, 0x02, 0, 15, "Piledriver"},
    {V::AMD, 0x15, 0x10, 0x1F, 0, 15, "Piledriver"},
    {V::AMD, 0x15, 0x30, 0x3F, 0, 15, "Steamroller"},
    {V::AMD, 0x15, 0x60, 0x7F, 0, 15, "Excavator"},
    {V::AMD, 0x16, 0x00, 0x0F, 0, 15, "Jaguar"},
    {V::AMD, 0x16, 0x30, 0x3F, 0, 15, "Puma"},
    {V::AMD, 0x17, 0x01, 0x01, 0, 15, "Zen (Summit Ridge/Naples)"},
    {V::AMD, 0x17, 0x08, 0x08, 0, 15, "Zen+ (Pinnacle Ridge)"},
    {V::AMD, 0x17, 0x11, 0x11, 0, 15, "Zen (Raven Ridge)"},
    {V::AMD, 0x17, 0x18, 0x18, 0, 15, "Zen+ (Picasso)"},
    {V::AMD, 0x17, 0x20, 0x20, 0, 15, "Zen (Dali)"},
    {V::AMD, 0x17, 0x31, 0x31, 0, 15, "Zen 2 (Rome/Castle Peak)"},
    {V::AMD, 0x17, 0x60, 0x60, 0, 15, "Zen 2 (Renoir)"},
    {V::AMD, 0x17, 0x68, 0x68, 0, 15, "Zen 2 (Lucienne)"},
    {V::AMD, 0x17, 0x71, 0x71, 0, 15, "Zen 2 (Matisse)"},
    {V::AMD, 0x17, 0x90, 0x91, 0, 15, "Zen 2 (Van Gogh)"},
    {V::AMD, 0x17, 0xA0, 0xA0, 0, 15, "Zen 2 (Mendocino)"},
    {V::AMD, 0x17, 0x30, 0xAF, 0, 15, "Zen 2"},
    {V::AMD, 0x19, 0x01, 0x01, 0, 15, "Zen 3 (Milan)"},
    {V::AMD, 0x19, 0x08, 0x08, 0, 15, "Zen 3 (Chagall)"},
    {V::AMD, 0x19, 0x11, 0x11, 0, 15, "Zen 4 (Genoa)"},
    {V::AMD, 0x19, 0x18, 0x18, 0, 15, "Zen 4 (Storm Peak)"},
    {V::AMD, 0x19, 0x21, 0x21, 0, 15, "Zen 3 (Vermeer)"},
    {V::AMD, 0x19, 0x44, 0x44, 0, 15, "Zen 3+ (Rembrandt)"},
    {V::AMD, 0x19, 0x50, 0x50, 0, 15, "Zen 3 (Cezanne)"},
    {V::AMD, 0x19, 0x61, 0x61, 0, 15, "Zen 4 (Raphael)"},
    {V::AMD, 0x19, 0x74, 0x75, 0, 15, "Zen 4 (Phoenix)"},
    {V::AMD, 0x19, 0x78, 0x78, 0, 15, "Zen 4 (Phoenix 2)"},
    {V::AMD, 0x19, 0xA0, 0xAF, 0, 15, "Zen 4c (Bergamo)"},
    {V::AMD, 0x19, 0x00, 0x0F, 0, 15, "Zen 3"},
    {V::AMD, 0x19, 0x10, 0x1F, 0, 15, "Zen 4"},
    {V::AMD, 0x19, 0x20, 0x5F, 0, 15, "Zen 3"},
    {V::AMD, 0x19, 0x60, 0x7F, 0, 15, "Zen 4"},
    {V::AMD, 0x1A, 0x02, 0x02, 0, 15, "Zen 5 (Turin)"},
    {V::AMD, 0x1A, 0x11, 0x11, 0, 15, "Zen 5c (Turin Dense)"},
    {V::AMD, 0x1A, 0x24, 0x24, 0, 15, "Zen 5 (Strix Point)"},
    {V::AMD, 0x1A, 0x44, 0x44, 0, 15, "Zen 5 (Granite Ridge)"},
    {V::AMD, 0x1A, 0x60, 0x60, 0, 15, "Zen 5 (Krackan Point)"},
    {V::AMD, 0x1A, 0x70, 0x70, 0, 15, "Zen 5 (Strix Halo)"},
    {V::AMD, 0x1A, 0x00, 0x7F, 0, 15, "Zen 5"},
    {V::Hygon, 0x18, 0x00, 0x0F, 0, 15, "Dhyana"},
    // VIA and Zhaoxin
    {V::Centaur, 6, 0x0F, 0x0F, 0, 15, "Isaiah"},
    {V::Centaur, 7, 0x1B, 0x1B, 0, 15, "Wudaokou"},
    {V::Zhaoxin, 7, 0x1B, 0x1B, 0, 15, "Wudaokou"},
    {V::Centaur, 7, 0x3B, 0x3B, 0, 15, "Lujiazui"},
    {V::Zhaoxin, 7, 0x3B, 0x3B, 0, 15, "Lujiazui"},
    {V::Centaur, 7, 0x5B, 0x5B, 0, 15, "Yongfeng"},
    {V::Zhaoxin, 7, 0x5B, 0x5B, 0, 15, "Yongfeng"},
};

}  // namespace

std::string qmCodename(TqmVendorKind vendor, const TqmDisplaySignature& sig) {
  if (!sig.Valid) return "";
  for (const Row& r : kRows)
    if (r.Vendor == vendor && r.Family == sig.Family && sig.Model >= r.ModelLo && sig.Model <= r.ModelHi &&
        sig.Stepping >= r.SteppingLo && sig.Stepping <= r.SteppingHi)
      return r.Name;
  return "";
}

}  // namespace evc
