#include "media/AVProbe.h"

#include <cctype>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
#include <libavutil/parseutils.h>
#include <libavutil/rational.h>
}

#include "engine/EngineHost.h"
#include "engine/ErrorText.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"
#include "engine/UnicodeProtocol.h"
#include "media/ClockText.h"
#include "media/FFmpegLoader.h"
#include "media/FFmpegLogger.h"

namespace quenza {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};

int ClampToInt(int64_t v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

std::string DictValue(const AVDictionary* dict, const char* key) {
  const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
  return e && e->value ? std::string(e->value) : std::string();
}

// The leading decimal number of a tag value ("2011-05-01" -> 2011, "3/12" -> 3), 0
// when it has none.
int LeadingNumber(const std::string& text) {
  const char* s = text.c_str();
  while (*s == ' ') ++s;
  if (!std::isdigit(static_cast<unsigned char>(*s))) return 0;
  return ClampToInt(std::strtoll(s, nullptr, 10));
}

AVRational RepairedTimeBase(AVRational tb) {
  if (tb.den == 0) tb.den = tb.num != 0 ? tb.num : 1;
  return tb;
}

// Display names of ID3 tag identifiers; every other key is shown as stored.
const char* DisplayKey(const char* key) {
  static const struct {
    const char* tag;
    const char* display;
  } kKeys[] = {
      {"TALB", "album"},     {"TAL", "album"},      {"TCOM", "composer"},  {"TCON", "genre"},
      {"TCO", "genre"},      {"TCOP", "copyright"}, {"TDRL", "date"},      {"TENC", "encoder"},
      {"TEN", "encoder"},    {"TIT2", "title"},     {"TT2", "title"},      {"TLAN", "language"},
      {"TPE1", "artist"},    {"TP1", "artist"},     {"TPOS", "disc"},      {"TPUB", "publisher"},
      {"TRCK", "track"},     {"TRK", "track"},      {"TSOA", "albumsort"}, {"TSOP", "authorsort"},
      {"TSOT", "titlesort"}, {"TYER", "year"},
  };
  for (const auto& k : kKeys)
    if (std::strcmp(k.tag, key) == 0) return k.display;
  return key;
}

void AddMetadata(std::vector<std::string>& lines, const AVDictionary* dict, const char* indent) {
  const int count = av_dict_count(dict);
  if (count == 0) return;
  if (count == 1 && av_dict_get(dict, "language", nullptr, AV_DICT_MATCH_CASE)) return;
  lines.push_back(std::string(indent) + "Metadata:");
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX))) {
    if (std::strcmp(e->key, "language") == 0) continue;
    lines.push_back(StrFormat("%s  %-16s: %s", indent, DisplayKey(e->key), e->value));
  }
}

// Rate as the report shows it: two decimals when it has a fraction, whole numbers
// otherwise, and thousands with "k" when a whole multiple of 1000.
std::string RateText(double d, const char* postfix) {
  const long long v = std::llrint(d * 100);  // to nearest, halves to even
  if (v % 100 != 0) return StrFormat(", %3.2f %s", d, postfix);
  if (v % 100000 != 0) return StrFormat(", %1.0f %s", d, postfix);
  return StrFormat(", %1.0fk %s", d / 1000, postfix);
}

std::string RateIfSet(AVRational r, bool inverse, const char* postfix) {
  if (r.num == 0 || r.den == 0) return std::string();
  return RateText(inverse ? 1 / av_q2d(r) : av_q2d(r), postfix);
}

struct TCodecContextDeleter {
  void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextDeleter>;

// A context filled from the stream's parameters, never opened; null when it cannot be
// made.
TCodecContextPtr ParameterContext(const AVStream* st) {
  TCodecContextPtr ctx(avcodec_alloc_context3(nullptr));
  if (ctx && avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0) ctx.reset();
  return ctx;
}

#ifndef AV_CODEC_PROP_FIELDS
// A decoder opened on a stream's parameters; closed under the codec lock.
struct TOpenedDecoderDeleter {
  void operator()(AVCodecContext* ctx) const {
    std::lock_guard<std::recursive_mutex> lock(CodecLock());
    avcodec_free_context(&ctx);
  }
};
#endif

// Ticks of the decoder's time base per frame: 2 for codecs that time fields.
int TicksPerFrame(const AVStream* st) {
#ifdef AV_CODEC_PROP_FIELDS
  const AVCodecDescriptor* desc = avcodec_descriptor_get(st->codecpar->codec_id);
  return desc && (desc->props & AV_CODEC_PROP_FIELDS) ? 2 : 1;
#else
  // Only an opened decoder knows its ticks per frame.
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return 1;
  TCodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx || avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0) return 1;
  ctx->thread_count = 1;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return 1;
  std::unique_ptr<AVCodecContext, TOpenedDecoderDeleter> opened(ctx.release());
  return opened->ticks_per_frame > 0 ? opened->ticks_per_frame : 1;
#endif
}

// The time base the old per-stream decoder context carried: one tick of a frame at the
// stream's real (else average) frame rate. 0/1 when the rate is unknown.
AVRational DecoderTimeBase(const AVStream* st) {
  AVRational rate = st->r_frame_rate;
  if (rate.num == 0 || rate.den == 0) rate = st->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return {0, 1};
  return av_inv_q(av_mul_q(rate, AVRational{TicksPerFrame(st), 1}));
}

std::string CodecName(const AVStream* st) {
  const AVCodecParameters* par = st->codecpar;
  if (const AVCodec* dec = avcodec_find_decoder(par->codec_id)) {
    std::string name = dec->name;
    if (dec->long_name && !Trim(dec->long_name).empty()) name += StrFormat("(%s)", dec->long_name);
    return name;
  }
  if (par->codec_id == AV_CODEC_ID_MPEG2TS) return "mpeg2ts";
  // Without a decoder the codec context only knows the codec id's own name.
  if (const AVCodecDescriptor* desc = avcodec_descriptor_get(par->codec_id)) {
    std::string name = Trim(desc->name);
    if (!name.empty()) return name;
  }
  const uint32_t tag = par->codec_tag;
  bool printable = true;
  for (int i = 0; i < 4; ++i) printable = printable && std::isprint((tag >> (8 * i)) & 0xFF);
  if (printable)
    return StrFormat("%c%c%c%c / 0x%04X", tag & 0xFF, (tag >> 8) & 0xFF, (tag >> 16) & 0xFF,
                     (tag >> 24) & 0xFF, tag);
  return StrFormat("0x%04x", tag);
}

std::string LocalDateTime(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return std::string();
  char buf[32];
  return std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm) ? std::string(buf) : std::string();
}

}  // namespace

std::string FileSizeText(int64_t size) {
  if (size > (int64_t{1} << 30)) return StrFormat("%.2f GB", static_cast<double>(size) / (1 << 30));
  if (size > (int64_t{1} << 20)) return StrFormat("%.2f MB", static_cast<double>(size) / (1 << 20));
  if (size > 1024) return StrFormat("%.2f KB", static_cast<double>(size) / 1024);
  return StrFormat("%" PRId64 " Byte", size);
}

void TCustomAVProbe::TInputCloser::operator()(AVFormatContext* ctx) const { CloseInputURL(&ctx); }

TCustomAVProbe::TCustomAVProbe() = default;

TCustomAVProbe::~TCustomAVProbe() { Close(); }

void TCustomAVProbe::CheckLibraries() {
  static const struct {
    TLibraryIndex index;
    const char* message;
  } kRequired[] = {
      {liAVCodec, "LibAVCodec not loaded."},
      {liAVFormat, "LibAVFormat not loaded."},
      {liAVUtil, "LibAVUtil not loaded."},
      {liSWScale, "LibSwScale not loaded."},
  };
  for (const auto& r : kRequired)
    if (!FFLoader().LibraryLoaded(r.index)) throw FFmpegException(r.message);
}

void TCustomAVProbe::ReportError(TLogLevel level, const std::string& msg) {
  fLastError = msg;
  GetLogger().Log(this, level, msg);
}

bool TCustomAVProbe::RequireFile() {
  if (fContext) return true;
  ReportError(llWarning, "file not loaded.");
  return false;
}

bool TCustomAVProbe::LoadFile(const std::string& fileName, const std::string& formatName) {
  CheckLibraries();
  CloseFile();

  const AVInputFormat* format = nullptr;
  if (!formatName.empty()) {
    format = av_find_input_format(formatName.c_str());
    if (!format) {
      fLastError = StrFormat("Unknown input format: %s", formatName.c_str());
      return false;
    }
  }

  AVFormatContext* ctx = avformat_alloc_context();
  int ret = AVERROR(ENOMEM);
  if (ctx) {
    ctx->flags |= AVFMT_FLAG_NONBLOCK;
    ret = OpenInputURL(&ctx, FileNameToURL(fileName), format, nullptr);  // frees ctx on failure
  }
  if (ret < 0) {
    ReportError(llError, LibraryError(fileName, ret));
    return false;
  }
  std::unique_ptr<AVFormatContext, TInputCloser> owned(ctx);

  if (avformat_find_stream_info(ctx, nullptr) < 0) {
    fLastError = StrFormat("%s: could not find codec parameters", fileName.c_str());
    return false;
  }

  fOwned = std::move(owned);
  fContext = ctx;
  fOwnsContext = true;
  fFileName = fileName;
  Refresh();
  fForcedFormat = formatName;
  return true;
}

void TCustomAVProbe::AttachContext(AVFormatContext* context) {
  CheckLibraries();
  CloseFile();
  fContext = context;
  fOwnsContext = false;
  Refresh();
}

void TCustomAVProbe::Close() {
  fOwned.reset();
  fContext = nullptr;
  fOwnsContext = false;
  fFileName.clear();
}

void TCustomAVProbe::CloseFile() {
  Close();
  fForcedFormat.clear();
  Refresh();
}

void TCustomAVProbe::Refresh() {
  fFileSize = -1;
  fStreamCount = fProgramCount = -1;
  fAudioStreamCount = fVideoStreamCount = fSubtitleStreamCount = -1;
  fFirstAudioStream = fFirstVideoStream = fFirstSubtitleStream = -1;
  if (!fContext) return;

  int64_t size = -1;
  if (fContext->pb && !(fContext->iformat && (fContext->iformat->flags & AVFMT_NOFILE)))
    size = avio_size(fContext->pb);
  if (size <= 0) {
    std::error_code ec;
    const std::filesystem::path path(FileName());
    if (std::filesystem::is_regular_file(path, ec)) {
      const auto fsSize = std::filesystem::file_size(path, ec);
      if (!ec) size = static_cast<int64_t>(fsSize);
    }
  }
  fFileSize = size < 0 ? -1 : size;

  fStreamCount = static_cast<int>(fContext->nb_streams);
  fProgramCount = static_cast<int>(fContext->nb_programs);
  fAudioStreamCount = fVideoStreamCount = fSubtitleStreamCount = 0;
  for (int i = 0; i < fStreamCount; ++i) {
    switch (fContext->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        if (fAudioStreamCount++ == 0) fFirstAudioStream = i;
        break;
      case AVMEDIA_TYPE_VIDEO:
        if (fVideoStreamCount++ == 0) fFirstVideoStream = i;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (fSubtitleStreamCount++ == 0) fFirstSubtitleStream = i;
        break;
      default:
        break;
    }
  }
}

std::string TCustomAVProbe::FileName() {
  if (!RequireFile()) return std::string();
  if (fOwnsContext) return fFileName;
  return fContext->url ? URLToFileName(fContext->url) : std::string();
}

std::string TCustomAVProbe::FormatName() {
  if (!RequireFile()) return std::string();
  return fContext->iformat && fContext->iformat->name ? fContext->iformat->name : "";
}

bool TCustomAVProbe::GetFileStreamInfo(TFileStreamInfo& info) {
  info = TFileStreamInfo();
  if (!RequireFile()) return false;
  const AVFormatContext* ic = fContext;
  info.StartTime = ic->start_time == AV_NOPTS_VALUE ? -1 : ic->start_time;
  info.Duration = ic->duration == AV_NOPTS_VALUE ? -1 : ic->duration;
  info.BitRate = ClampToInt(ic->bit_rate);

  // The libraries keep creation time, year and track as tags.
  info.TimeStamp = 0;
  const std::string created = DictValue(ic->metadata, "creation_time");
  int64_t us = 0;
  if (!created.empty() && av_parse_time(&us, created.c_str(), 0) == 0) info.TimeStamp = us / 1000000;
  std::string year = DictValue(ic->metadata, "year");
  if (year.empty()) year = DictValue(ic->metadata, "date");
  info.Year = LeadingNumber(year);
  info.Track = LeadingNumber(DictValue(ic->metadata, "track"));

  info.Title = DictValue(ic->metadata, "title");
  info.Author = DictValue(ic->metadata, "author");
  info.Copyright = DictValue(ic->metadata, "copyright");
  info.Comment = DictValue(ic->metadata, "comment");
  info.Album = DictValue(ic->metadata, "album");
  info.Genre = DictValue(ic->metadata, "genre");
  return true;
}

int TCustomAVProbe::ResolveStream(int streamIndex, int mediaType, int firstOfKind,
                                  const char* kindName) {
  if (!RequireFile()) return -1;
  if (streamIndex < 0) {
    if (firstOfKind < 0) ReportError(llError, StrFormat("no %s stream.", kindName));
    return firstOfKind;
  }
  if (streamIndex >= fStreamCount) {
    ReportError(llError, StrFormat("stream index #%d is invalid.", streamIndex));
    return -1;
  }
  if (fContext->streams[streamIndex]->codecpar->codec_type != mediaType) {
    ReportError(llError, StrFormat("stream #%d is not %s stream.", streamIndex, kindName));
    return -1;
  }
  return streamIndex;
}

void TCustomAVProbe::FillCommon(int streamIndex, TStreamInfo& info) const {
  const AVStream* st = fContext->streams[streamIndex];
  const AVRational tb = RepairedTimeBase(st->time_base);
  info.Language = DictValue(st->metadata, "language");
  info.CodecName = CodecName(st);
  if (st->start_time != AV_NOPTS_VALUE) {
    info.StartTime = st->start_time;
    info.StartTimeUS = av_rescale_q(st->start_time, tb, kMicroseconds);
  }
  if (st->duration != AV_NOPTS_VALUE) {
    info.Duration = st->duration;
    info.DurationUS = av_rescale_q(st->duration, tb, kMicroseconds);
  }
  info.BitRate = ClampToInt(st->codecpar->bit_rate);
}

bool TCustomAVProbe::GetAudioStreamInfo(int streamIndex, TAudioStreamInfo& info) {
  info = TAudioStreamInfo();
  const int n = ResolveStream(streamIndex, AVMEDIA_TYPE_AUDIO, fFirstAudioStream, "audio");
  if (n < 0) return false;
  FillCommon(n, info);
  const AVCodecParameters* par = fContext->streams[n]->codecpar;
  info.Channels = par->ch_layout.nb_channels;
  info.SampleRate = par->sample_rate;
  info.SampleFormat = par->format;
  return true;
}

bool TCustomAVProbe::GetVideoStreamInfo(int streamIndex, TVideoStreamInfo& info) {
  info = TVideoStreamInfo();
  const int n = ResolveStream(streamIndex, AVMEDIA_TYPE_VIDEO, fFirstVideoStream, "video");
  if (n < 0) return false;
  FillCommon(n, info);
  AVStream* st = fContext->streams[n];
  const AVCodecParameters* par = st->codecpar;
  info.Height = par->height;
  info.Width = par->width;
  // The stream's ratio when it has one, else the codec's.
  const AVRational sar = av_guess_sample_aspect_ratio(fContext, st, nullptr);
  info.DisplayAspectRatio =
      sar.num == 0 || par->height == 0
          ? 0.0f
          : static_cast<float>(av_q2d(sar) * par->width / par->height);
  info.PixelFormat = par->format;
  info.FrameRateNum = st->r_frame_rate.num;
  info.FrameRateDen = st->r_frame_rate.den;
  return true;
}

bool TCustomAVProbe::IsStreamOfType(int streamIndex, int mediaType) {
  if (!RequireFile()) return false;
  if (streamIndex < 0 || streamIndex >= fStreamCount) {
    ReportError(llError, StrFormat("stream index #%d is invalid.", streamIndex));
    return false;
  }
  return fContext->streams[streamIndex]->codecpar->codec_type == mediaType;
}

bool TCustomAVProbe::IsAudioStream(int streamIndex) { return IsStreamOfType(streamIndex, AVMEDIA_TYPE_AUDIO); }

bool TCustomAVProbe::IsVideoStream(int streamIndex) { return IsStreamOfType(streamIndex, AVMEDIA_TYPE_VIDEO); }

std::string TCustomAVProbe::StreamLine(int streamIndex) const {
  const AVStream* st = fContext->streams[streamIndex];
  const AVCodecParameters* par = st->codecpar;

  std::string line = StrFormat("Stream #%d", streamIndex);
  if (fContext->iformat && (fContext->iformat->flags & AVFMT_SHOW_IDS)) line += StrFormat("[0x%x]", st->id);
  const std::string language = DictValue(st->metadata, "language");
  if (!language.empty()) line += StrFormat("(%s)", language.c_str());
  int g = av_gcd(st->time_base.num, st->time_base.den);
  if (g == 0) g = 1;
  line += StrFormat(", %d/%d", st->time_base.num / g, st->time_base.den / g);

  char description[256] = "";
  if (TCodecContextPtr ctx = ParameterContext(st)) {
    avcodec_string(description, sizeof description, ctx.get(), 0);
  } else {
    const char* type = av_get_media_type_string(par->codec_type);
    std::snprintf(description, sizeof description, "%s: %s", type ? type : "unknown",
                  avcodec_get_name(par->codec_id));
  }
  line += StrFormat(": %s", description);

  if (st->sample_aspect_ratio.num != 0 && av_cmp_q(st->sample_aspect_ratio, par->sample_aspect_ratio) != 0) {
    AVRational dar{0, 1};
    av_reduce(&dar.num, &dar.den, int64_t{par->width} * st->sample_aspect_ratio.num,
              int64_t{par->height} * st->sample_aspect_ratio.den, 1024 * 1024);
    line = StrFormat("%s, PAR %d:%d DAR %d:%d", line.c_str(), st->sample_aspect_ratio.num,
                     st->sample_aspect_ratio.den, dar.num, dar.den);
  }

  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    line += RateIfSet(st->avg_frame_rate, false, "fps");
    line += RateIfSet(st->r_frame_rate, false, "tbr");
    line += RateIfSet(st->time_base, true, "tbn");
    line += RateIfSet(DecoderTimeBase(st), true, "tbc");
  }

  const AVRational tb = RepairedTimeBase(st->time_base);
  if (st->start_time != AV_NOPTS_VALUE)
    line += ", StartTime: " + MicrosecondsToSecondsText(av_rescale_q(st->start_time, tb, kMicroseconds));
  line += ", Duration: " +
          DurationToClock(st->duration == AV_NOPTS_VALUE ? AV_NOPTS_VALUE
                                                         : av_rescale_q(st->duration, tb, kMicroseconds));
  return line;
}

std::string TCustomAVProbe::GetInfoText() {
  if (!RequireFile()) return std::string();
  const AVFormatContext* ic = fContext;
  std::vector<std::string> lines;

  lines.push_back("File Name: " + FileName());
  const AVInputFormat* fmt = ic->iformat;
  lines.push_back(StrFormat("Format Name: %s", fmt && fmt->name ? fmt->name : ""));
  lines.push_back(StrFormat("Format Long Name: %s", fmt && fmt->long_name ? fmt->long_name : ""));
  lines.push_back("File Size: " + FileSizeText(fFileSize));

  TFileStreamInfo info;
  GetFileStreamInfo(info);
  lines.push_back(info.Duration < 0 ? std::string("Duration: N/A") : "Duration: " + DurationToClock(info.Duration));
  if (info.StartTime >= 0) lines.push_back("StartTime: " + MicrosecondsToSecondsText(info.StartTime));
  lines.push_back(info.BitRate < 1 ? std::string("Bit Rate: N/A")
                                   : StrFormat("Bit Rate: %d kb/s", info.BitRate / 1000));
  if (info.TimeStamp > 0) lines.push_back("Time Stamp: " + LocalDateTime(info.TimeStamp));
  AddMetadata(lines, ic->metadata, "");

  std::vector<bool> shown(ic->nb_streams, false);
  for (unsigned p = 0; p < ic->nb_programs; ++p) {
    const AVProgram* program = ic->programs[p];
    // Older demuxers named the tags "provider_name" and "name"; today's use "service_*".
    std::string provider = DictValue(program->metadata, "provider_name");
    if (provider.empty()) provider = DictValue(program->metadata, "service_provider");
    std::string name = DictValue(program->metadata, "name");
    if (name.empty()) name = DictValue(program->metadata, "service_name");
    lines.push_back(StrFormat("Program %d %s@%s", program->id, provider.empty() ? "N/A" : provider.c_str(),
                              name.empty() ? "N/A" : name.c_str()));
    AddMetadata(lines, program->metadata, "  ");
    for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
      const unsigned n = program->stream_index[k];
      if (n >= ic->nb_streams) continue;
      lines.push_back(StreamLine(static_cast<int>(n)));
      AddMetadata(lines, ic->streams[n]->metadata, "  ");
      shown[n] = true;
    }
  }
  for (unsigned n = 0; n < ic->nb_streams; ++n) {
    if (shown[n]) continue;
    lines.push_back(StreamLine(static_cast<int>(n)));
    AddMetadata(lines, ic->streams[n]->metadata, "  ");
  }

  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) text += "\r\n";
    text += lines[i];
  }
  return text;
}

}  // namespace quenza
