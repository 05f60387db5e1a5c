// The stream copy into a container without edit lists (Matroska, WebM): the
// whole movie, every packet of every exported track as it is stored, with
// its own timestamps. Only whole movies come here (OutputContainer.h): a cut
// would need frames decoded but not shown, which these containers cannot
// mark.
#include <map>

#include "platform/export/ExportInternal.h"
#include "platform/export/RangeTiming.h"

namespace kf::exportimpl {
namespace {

// Subtitle tracks the container stores as they are come along unchanged.
bool CarriedSubtitle(const AVStream* st, const AVOutputFormat* out) {
  return st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE &&
         avformat_query_codec(out, st->codecpar->codec_id, FF_COMPLIANCE_NORMAL) == 1;
}

class Remuxer {
 public:
  Remuxer(AVFormatContext* in, const ExportRequest& request, const RunControl& control)
      : in_(in), request_(request), control_(control) {}

  Status run() {
    if (Status s = openOutput()) return s;
    for (std::size_t k = 0; k < request_.plan.ranges.size(); ++k) {
      if (request_.plan.ranges[k].duration <= 0) continue;
      if (Status s = CheckSourceReaches(in_, primary_, ExactRange(request_.plan, k))) return s;
    }
    if (Status s = SeekBefore(in_, primary_, OriginTicks(in_, primary_))) return s;
    ff::PacketPtr pkt = ff::allocPacket();
    if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    const double origin = static_cast<double>(OriginTicks(in_, primary_)) * av_q2d(primary_->time_base);
    const double total = in_->duration > 0 ? static_cast<double>(in_->duration) / AV_TIME_BASE : 0;
    while (true) {
      if (control_.isCancelled()) return CancelledError();
      int err = av_read_frame(in_, pkt.get());
      if (err == AVERROR_EOF) break;
      if (err < 0) return ff::makeError(err, "Cannot read the source");
      auto it = outOf_.find(pkt->stream_index);
      if (it == outOf_.end() || pkt->size <= 0) {
        av_packet_unref(pkt.get());
        continue;
      }
      const AVStream* ins = in_->streams[pkt->stream_index];
      // The source hides this picture (an edit list starting inside a group
      // of pictures); written here it would be shown. Hidden sound (the
      // encoder's priming) keeps its own time before the picture's start,
      // where it plays as the quiet lead-in it is.
      if ((pkt->flags & AV_PKT_FLAG_DISCARD) && ins->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        av_packet_unref(pkt.get());
        return Error{kKerflineErrorDomain, kOutputContainerCode,
                     "“" + lastPathComponent(request_.fileName.empty() ? request_.outputPath : request_.fileName) +
                         "” cannot be written losslessly: the movie hides frames with an edit list, which " +
                         ContainerDisplayName(request_.fileType) +
                         " cannot do. Name it with the extension .mp4 or .mov, or choose Frame-Accurate Re-encode."};
      }
      AVStream* outs = it->second;
      if (control_.progress && total > 0 && ins == primary_ && pkt->pts != AV_NOPTS_VALUE)
        control_.progress(std::clamp((static_cast<double>(pkt->pts) * av_q2d(ins->time_base) - origin) / total, 0.0, 1.0));
      pkt->stream_index = outs->index;
      pkt->pos = -1;
      av_packet_rescale_ts(pkt.get(), ins->time_base, outs->time_base);
      err = av_interleaved_write_frame(out_.get(), pkt.get());
      if (err < 0) return ff::makeError(err, "Cannot write the movie");
    }
    int err = av_write_trailer(out_.get());
    if (err < 0) return ff::makeError(err, "Cannot finish the movie");
    if (out_->pb && out_->pb->error < 0) return ff::makeError(out_->pb->error, "Cannot write the movie");
    err = avio_closep(&out_->pb);
    if (err < 0) return ff::makeError(err, "Cannot write the movie");
    return std::nullopt;
  }

 private:
  Status openOutput() {
    AVFormatContext* raw = nullptr;
    int err = avformat_alloc_output_context2(&raw, nullptr, muxerName(request_.fileType), request_.outputPath.c_str());
    if (err < 0 || !raw) return ff::makeError(err, "Cannot create the movie");
    out_.reset(raw);
    av_dict_copy(&out_->metadata, in_->metadata, 0);
    for (unsigned i = 0; i < in_->nb_streams; ++i) {
      AVStream* ins = in_->streams[i];
      if (!IsExportedStream(ins) && !CarriedSubtitle(ins, out_->oformat)) continue;
      AVStream* outs = avformat_new_stream(out_.get(), nullptr);
      if (!outs) return ff::makeError(AVERROR(ENOMEM), "Cannot create a track");
      err = avcodec_parameters_copy(outs->codecpar, ins->codecpar);
      if (err < 0) return ff::makeError(err, "Cannot copy a track");
      outs->codecpar->codec_tag = OutputCodecTag(ins->codecpar, out_->oformat);
      outs->time_base = ins->time_base;
      CopyStreamProperties(ins, outs);
      outOf_[ins->index] = outs;
      const bool video = ins->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
      if (!primary_ || (video && primary_->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)) {
        if (IsExportedStream(ins)) primary_ = ins;
      }
    }
    if (!primary_)
      return Error{ff::kFfmpegErrorDomain, AVERROR_STREAM_NOT_FOUND, "The movie has no video or sound to export."};
    err = avio_open(&out_->pb, request_.outputPath.c_str(), AVIO_FLAG_WRITE);
    if (err < 0) return ff::makeError(err, "Cannot create " + request_.outputPath);
    err = avformat_write_header(out_.get(), nullptr);
    if (err < 0) return ff::makeError(err, "Cannot write the movie header");
    return std::nullopt;
  }

  AVFormatContext* in_;
  const ExportRequest& request_;
  const RunControl& control_;
  ff::OutputContextPtr out_;
  std::map<int, AVStream*> outOf_;  // source stream index -> output stream
  const AVStream* primary_ = nullptr;
};

}  // namespace

Status RunRemux(AVFormatContext* in, const ExportRequest& request, const RunControl& control) {
  Remuxer r(in, request, control);
  return r.run();
}

}  // namespace kf::exportimpl
