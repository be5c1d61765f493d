#include "engine/OptionCompat.h"

#include <set>

namespace quenza {

const std::vector<TCompatEncoderRow>& CompatEncoderTable() {
  static const std::vector<TCompatEncoderRow> rows = {
      {"libfaac", "aac"},
      {"vorbis", "libvorbis"},
  };
  return rows;
}

std::string CompatEncoderName(const std::string& name) {
  for (const TCompatEncoderRow& row : CompatEncoderTable())
    if (name == row.legacy) return row.current;
  return name;
}

namespace {

struct FlagToken {
  char sign;  // '+' or '-'
  std::string name;
};

// "+a-b+c" -> {+a, -b, +c}; a leading token without sign counts as '+'.
std::vector<FlagToken> SplitFlags(const std::string& value) {
  std::vector<FlagToken> tokens;
  FlagToken cur{'+', ""};
  for (char c : value) {
    if (c == '+' || c == '-') {
      if (!cur.name.empty()) tokens.push_back(cur);
      cur = {c, ""};
    } else {
      cur.name += c;
    }
  }
  if (!cur.name.empty()) tokens.push_back(cur);
  return tokens;
}

bool IsX264(const std::string& encoder) { return encoder == "libx264" || encoder == "libx264rgb"; }

bool IsMpegVideo12(const std::string& encoder) {
  return encoder == "mpeg1video" || encoder == "mpeg2video";
}

struct X264Flag {
  const char* legacy;
  const char* option;
  const char* on;
  const char* off;
};
constexpr X264Flag kX264Flags2[] = {
    {"dct8x8", "8x8dct", "1", "0"},       {"wpred", "weightb", "1", "0"},
    {"mixed_refs", "mixed-refs", "1", "0"}, {"fastpskip", "fast-pskip", "1", "0"},
    {"mbtree", "mbtree", "1", "0"},       {"bpyramid", "b-pyramid", "normal", "none"},
    {"aud", "aud", "1", "0"},             {"psy", "psy", "1", "0"},
};

std::string JoinFlags(const std::vector<FlagToken>& tokens) {
  std::string out;
  for (const FlagToken& t : tokens) out += t.sign + t.name;
  return out;
}

TCompatOption TranslateFlags2(const std::string& value, const std::string& encoder) {
  TCompatOption r;
  std::vector<FlagToken> keep;
  std::string dropped;
  for (const FlagToken& t : SplitFlags(value)) {
    const X264Flag* row = nullptr;
    for (const X264Flag& f : kX264Flags2)
      if (t.name == f.legacy) row = &f;
    if (!row) {
      keep.push_back(t);
      continue;
    }
    r.kind = TCompatOption::Translated;
    if (IsX264(encoder))
      r.options.emplace_back(row->option, t.sign == '+' ? row->on : row->off);
    else
      dropped += t.sign + t.name;
  }
  if (r.kind == TCompatOption::None) return r;
  if (!keep.empty()) r.options.insert(r.options.begin(), {"flags2", JoinFlags(keep)});
  if (!dropped.empty()) r.dropped = "flags2=" + dropped;
  if (r.options.empty()) r.kind = TCompatOption::Dropped;
  return r;
}

TCompatOption TranslatePartitions(const std::string& value, const std::string& encoder) {
  static const std::pair<const char*, const char*> kParts[] = {
      {"parti4x4", "i4x4"}, {"parti8x8", "i8x8"}, {"partp4x4", "p4x4"},
      {"partp8x8", "p8x8"}, {"partb8x8", "b8x8"}};
  std::vector<FlagToken> tokens = SplitFlags(value);
  if (tokens.empty()) return {};
  std::set<std::string> on;
  for (const FlagToken& t : tokens) {
    const char* part = nullptr;
    for (const auto& [legacy, current] : kParts)
      if (t.name == legacy) part = current;
    if (!part) return {};  // not the legacy syntax
    if (t.sign == '+')
      on.insert(part);
    else
      on.erase(part);
  }
  TCompatOption r;
  if (!IsX264(encoder)) {
    r.kind = TCompatOption::Dropped;
    r.dropped = "partitions=" + value;
    return r;
  }
  std::string list;
  for (const auto& [legacy, current] : kParts)
    if (on.count(current)) list += (list.empty() ? "" : ",") + std::string(current);
  r.kind = TCompatOption::Translated;
  r.options.emplace_back("partitions", list.empty() ? "none" : list);
  return r;
}

TCompatOption TranslateScanOffset(const std::string& value, const std::string& encoder) {
  TCompatOption r;
  std::vector<FlagToken> keep;
  bool found = false;
  char sign = '+';
  for (const FlagToken& t : SplitFlags(value)) {
    if (t.name == "scan_offset") {
      found = true;
      sign = t.sign;
    } else {
      keep.push_back(t);
    }
  }
  if (!found) return r;
  r.kind = TCompatOption::Translated;
  if (!keep.empty()) r.options.emplace_back("flags", JoinFlags(keep));
  if (IsMpegVideo12(encoder))
    r.options.emplace_back("scan_offset", sign == '+' ? "1" : "0");
  else
    r.dropped = std::string("flags=") + sign + "scan_offset";
  if (r.options.empty()) r.kind = TCompatOption::Dropped;
  return r;
}

TCompatOption X264Only(const std::string& name, const std::string& value,
                       const std::string& encoder, const char* current, bool negativeIsOff) {
  TCompatOption r;
  bool off = negativeIsOff && !value.empty() && value[0] == '-';
  if (!IsX264(encoder) || off) {
    r.kind = TCompatOption::Dropped;
    r.dropped = name + "=" + value;
  } else {
    r.kind = TCompatOption::Translated;
    r.options.emplace_back(current, value);
  }
  return r;
}

}  // namespace

TCompatOption TranslateLegacyOption(const std::string& name, const std::string& value,
                                    const std::string& videoEncoder) {
  if (name == "flags2") return TranslateFlags2(value, videoEncoder);
  if (name == "partitions") return TranslatePartitions(value, videoEncoder);
  if (name == "flags") return TranslateScanOffset(value, videoEncoder);
  if (name == "directpred") return X264Only(name, value, videoEncoder, "direct-pred", false);
  if (name == "cqp") return X264Only(name, value, videoEncoder, "qp", true);
  return {};
}

}  // namespace quenza
