#include "engine/BuiltinPresets.h"

#include "engine/OptionParse.h"

namespace quenza {

namespace {

// Presets of the common layout: the values that differ between them.
struct CommonRow {
  const char* name;
  const char* coder;
  const char* flags;
  const char* partitions;
  const char* me_method;
  const char* subq;
  const char* me_range;
  const char* sc_threshold;
  const char* b_strategy;
  const char* bf;
  const char* refs;
  const char* directpred;
  const char* trellis;
  const char* flags2;
  const char* wpredp;
};

constexpr const char* kAllParts = "+parti8x8+parti4x4+partp8x8+partb8x8";
constexpr const char* kNoParts = "-parti8x8-parti4x4-partp8x8-partb8x8";
constexpr const char* kAllParts44 = "+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8";

const CommonRow kCommon[] = {
    {"libx264-default", "1", "+loop", kAllParts, "hex", "7", "16", "40", "1", "3", "3", "1", "1", "+mixed_refs+wpred+dct8x8+fastpskip", "2"},
    {"libx264-fast", "1", "+loop", kAllParts, "hex", "6", "16", "40", "1", "3", "2", "1", "1", "+bpyramid+mixed_refs+wpred+dct8x8+fastpskip", "2"},
    {"libx264-fast_firstpass", "1", "+loop", kNoParts, "dia", "2", "16", "40", "1", "3", "1", "1", "0", "+bpyramid-mixed_refs+wpred-dct8x8+fastpskip", "2"},
    {"libx264-faster", "1", "+loop", kAllParts, "hex", "4", "16", "40", "1", "3", "2", "1", "1", "+bpyramid-mixed_refs+wpred+dct8x8+fastpskip", "1"},
    {"libx264-faster_firstpass", "1", "+loop", kNoParts, "dia", "2", "16", "40", "1", "3", "1", "1", "0", "+bpyramid-mixed_refs+wpred-dct8x8+fastpskip", "1"},
    {"libx264-fastfirstpass", "1", "+loop", "-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8", "dia", "2", "16", "40", "1", "3", "1", "3", "0", "-bpyramid-wpred-mixed_refs-dct8x8+fastpskip", "2"},
    {"libx264-hq", "1", "+loop", kAllParts, "umh", "8", "16", "40", "2", "3", "4", "3", "1", "+wpred+mixed_refs+dct8x8+fastpskip", "2"},
    {"libx264-max", "1", "+loop", kAllParts44, "tesa", "10", "24", "40", "2", "3", "16", "3", "2", "+wpred+mixed_refs+dct8x8-fastpskip", "2"},
    {"libx264-medium", "1", "+loop", kAllParts, "hex", "7", "16", "40", "1", "3", "3", "1", "1", "+bpyramid+mixed_refs+wpred+dct8x8+fastpskip", "2"},
    {"libx264-medium_firstpass", "1", "+loop", kNoParts, "dia", "2", "16", "40", "1", "3", "1", "1", "0", "+bpyramid-mixed_refs+wpred-dct8x8+fastpskip", "2"},
    {"libx264-normal", "1", "+loop", kAllParts, "hex", "6", "16", "40", "1", "3", "2", "3", "0", "+wpred+dct8x8+fastpskip", "2"},
    {"libx264-placebo", "1", "+loop", kAllParts44, "tesa", "10", "24", "40", "2", "16", "16", "3", "2", "+bpyramid+mixed_refs+wpred+dct8x8-fastpskip", "2"},
    {"libx264-placebo_firstpass", "1", "+loop", kAllParts44, "tesa", "10", "24", "40", "2", "16", "16", "3", "2", "+bpyramid+mixed_refs+wpred+dct8x8-fastpskip", "2"},
    {"libx264-slow", "1", "+loop", kAllParts, "umh", "8", "16", "40", "2", "3", "5", "3", "1", "+bpyramid+mixed_refs+wpred+dct8x8+fastpskip", "2"},
    {"libx264-slow_firstpass", "1", "+loop", kNoParts, "dia", "2", "16", "40", "2", "3", "1", "3", "0", "+bpyramid-mixed_refs+wpred-dct8x8+fastpskip", "2"},
    {"libx264-slower", "1", "+loop", kAllParts44, "umh", "9", "16", "40", "2", "3", "8", "3", "2", "+bpyramid+mixed_refs+wpred+dct8x8+fastpskip", "2"},
    {"libx264-slower_firstpass", "1", "+loop", kNoParts, "dia", "2", "16", "40", "2", "3", "1", "3", "0", "+bpyramid-mixed_refs+wpred-dct8x8+fastpskip", "2"},
    {"libx264-slowfirstpass", "1", "+loop", kAllParts, "hex", "6", "16", "40", "2", "3", "1", "3", "0", "+wpred+dct8x8+fastpskip", "2"},
    {"libx264-superfast", "1", "+loop", "+parti8x8+parti4x4-partp8x8-partb8x8", "dia", "1", "16", "40", "1", "3", "1", "1", "0", "+bpyramid-mixed_refs+wpred+dct8x8+fastpskip-mbtree", "0"},
    {"libx264-superfast_firstpass", "1", "+loop", kNoParts, "dia", "1", "16", "40", "1", "3", "1", "1", "0", "+bpyramid-mixed_refs+wpred-dct8x8+fastpskip-mbtree", "0"},
    {"libx264-ultrafast", "0", "-loop", kNoParts, "dia", "0", "16", "0", "0", "0", "1", "1", "0", "-bpyramid-mixed_refs-wpred-dct8x8+fastpskip-mbtree", "0"},
    {"libx264-ultrafast_firstpass", "0", "-loop", kNoParts, "dia", "0", "16", "0", "0", "0", "1", "1", "0", "-bpyramid-mixed_refs-wpred-dct8x8+fastpskip-mbtree", "0"},
    {"libx264-veryfast", "1", "+loop", kAllParts, "hex", "2", "16", "40", "1", "3", "1", "1", "0", "+bpyramid-mixed_refs+wpred+dct8x8+fastpskip-mbtree", "0"},
    {"libx264-veryfast_firstpass", "1", "+loop", kNoParts, "dia", "2", "16", "40", "1", "3", "1", "1", "0", "+bpyramid-mixed_refs+wpred-dct8x8+fastpskip-mbtree", "0"},
    {"libx264-veryslow", "1", "+loop", kAllParts44, "umh", "10", "24", "40", "2", "8", "16", "3", "2", "+bpyramid+mixed_refs+wpred+dct8x8+fastpskip", "2"},
    {"libx264-veryslow_firstpass", "1", "+loop", kNoParts, "dia", "2", "24", "40", "2", "8", "1", "3", "0", "+bpyramid-mixed_refs+wpred-dct8x8+fastpskip", "2"},
};

std::string CommonText(const CommonRow& r) {
  std::string t;
  auto line = [&t](const char* k, const char* v) { t += std::string(k) + "=" + v + "\n"; };
  line("coder", r.coder);
  line("flags", r.flags);
  line("cmp", "+chroma");
  line("partitions", r.partitions);
  line("me_method", r.me_method);
  line("subq", r.subq);
  line("me_range", r.me_range);
  line("g", "250");
  line("keyint_min", "25");
  line("sc_threshold", r.sc_threshold);
  line("i_qfactor", "0.71");
  line("b_strategy", r.b_strategy);
  line("qcomp", "0.6");
  line("qmin", "10");
  line("qmax", "51");
  line("qdiff", "4");
  line("bf", r.bf);
  line("refs", r.refs);
  line("directpred", r.directpred);
  line("trellis", r.trellis);
  line("flags2", r.flags2);
  line("wpredp", r.wpredp);
  return t;
}

// Lines shared by the lossless presets, with the varying ones as parameters.
std::string LosslessText(const char* coder, const char* partitions, const char* me_method,
                         const char* subq, const char* refs, const char* flags2,
                         const char* wpredp) {
  std::string t = std::string("coder=") + coder + "\nflags=+loop\ncmp=+chroma\npartitions=" +
                  partitions + "\nme_method=" + me_method + "\nsubq=" + subq +
                  "\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
                  "b_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\n";
  if (refs) t += std::string("refs=") + refs + "\n";
  t += std::string("directpred=1\nflags2=") + flags2 + "\ncqp=0\n";
  if (wpredp) t += std::string("wpredp=") + wpredp + "\n";
  return t;
}

std::string PspText(const char* coder, const char* partitions, bool bf, const char* b,
                    const char* maxrate) {
  std::string t = std::string("coder=") + coder + "\nflags=+loop\nlevel=30\ncmp=+chroma\npartitions=" +
                  partitions +
                  "\nme_method=umh\nsubq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
                  "i_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\n";
  if (bf) t += "bf=3\n";
  t += "refs=1\ndirectpred=1\ntrellis=2\n";
  if (b) t += std::string("b=") + b + "\n";
  t += std::string("maxrate=") + maxrate + "\nbufsize=4000000\nbt=256000\nsc_threshold=40\n";
  return t;
}

std::vector<std::pair<std::string, std::string>> MakePresets() {
  std::vector<std::pair<std::string, std::string>> p;
  for (const CommonRow& r : kCommon) p.emplace_back(r.name, CommonText(r));
  p.emplace_back("libx264-baseline", "coder=0\nbf=0\nflags2=-wpred-dct8x8\nwpredp=0\n");
  p.emplace_back("libx264-ipod320",
                 "coder=0\nbf=0\nflags2=-wpred-dct8x8\nlevel=13\nmaxrate=768000\n"
                 "bufsize=3000000\nwpredp=0\n");
  p.emplace_back("libx264-ipod640",
                 "coder=0\nbf=0\nrefs=1\nflags2=-wpred-dct8x8\nlevel=30\nmaxrate=10000000\n"
                 "bufsize=10000000\nwpredp=0\n");
  p.emplace_back("libx264-main", "flags2=-dct8x8\n");
  p.emplace_back("libx264-lossless_fast",
                 LosslessText("0", "-parti8x8+parti4x4+partp8x8-partp4x4-partb8x8", "hex", "3",
                              nullptr, "+fastpskip", "0"));
  p.emplace_back("libx264-lossless_max",
                 LosslessText("1", "+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8", "esa", "8",
                              "16", "+mixed_refs+dct8x8+fastpskip", "2"));
  p.emplace_back("libx264-lossless_medium",
                 LosslessText("1", "-parti8x8+parti4x4+partp8x8+partp4x4-partb8x8", "hex", "5",
                              nullptr, "+fastpskip", "2"));
  p.emplace_back("libx264-lossless_slow",
                 LosslessText("1", "+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8", "umh", "6",
                              "2", "+dct8x8+fastpskip", "2"));
  p.emplace_back("libx264-lossless_slower",
                 LosslessText("1", "+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8", "umh", "8",
                              "4", "+mixed_refs+dct8x8+fastpskip", "2"));
  p.emplace_back("libx264-lossless_ultrafast",
                 LosslessText("0", "-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8", "dia", "0",
                              nullptr, "+fastpskip", nullptr));
  const char* pspParts = "+parti4x4+parti8x8+partp8x8+partb8x8";
  p.emplace_back("libx264-psp", PspText("1", pspParts, true, "1250000", "1500000"));
  p.emplace_back("libx264-mp4", PspText("1", pspParts, true, "1250000", "1500000"));
  p.emplace_back("libx264-ps3", PspText("1", pspParts, true, nullptr, "3500000"));
  p.emplace_back("libx264-ipod",
                 PspText("0", "+parti4x4+parti8x8+partp8x8", false, "1000000", "1250000"));
  return p;
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& BuiltinPresets() {
  static const auto presets = MakePresets();
  return presets;
}

const std::string* FindBuiltinPreset(const std::string& name) {
  for (const auto& [n, text] : BuiltinPresets())
    if (SameText(n, name)) return &text;
  return nullptr;
}

}  // namespace quenza
