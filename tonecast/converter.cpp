#include "tonecast/converter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/handles.h"
#include "libs/tarvel/tarvel.h"
#include "platform/file.h"
#include "retime/timeline.h"
#include "tonecast/mp3_writer.h"

namespace tonecast {

namespace {

bool copyPath(const char* field, size_t fieldSize, std::string* out) {
  const size_t length = strnlen(field, fieldSize);
  if (length == 0 || length == fieldSize) return false;
  out->assign(field, length);
  return true;
}

AudioTag audioTagOf(const TagRecord& record) {
  AudioTag tag;
  tag.storedMs = record.timestamp;
  tag.soundFormat = record.soundFormat;
  tag.soundRate = record.soundRate;
  tag.soundSize = record.soundSize;
  tag.soundType = record.soundType;
  tag.payload = record.payload;
  tag.payloadSize = record.payloadSize > 0 && record.payload
                        ? static_cast<size_t>(record.payloadSize) : 0;
  return tag;
}

ConversionResult resultOf(Timeline::Result result) {
  switch (result) {
    case Timeline::Result::kOk: return ConversionResult::kDone;
    case Timeline::Result::kUnsupportedFormat: return ConversionResult::kUnsupportedAudio;
    case Timeline::Result::kDecodeFailed: return ConversionResult::kDecodeFailed;
    case Timeline::Result::kImplausibleGap: return ConversionResult::kImplausibleGap;
    case Timeline::Result::kSinkFailed: break;
  }
  return ConversionResult::kEncodeOrWriteFailed;
}

}  // namespace

bool readRequest(const ConversionJob& job, ConversionRequest* request) {
  if (strnlen(job.formatName, sizeof job.formatName) == sizeof job.formatName) return false;
  if (std::strcmp(job.formatName, "mp3") != 0 || job.codecId != kJobCodecMp3) return false;
  if (job.bitRate <= 0 || job.sampleRate <= 0) return false;
  if (!copyPath(job.inputPath, sizeof job.inputPath, &request->inputPath)) return false;
  if (!copyPath(job.outputPath, sizeof job.outputPath, &request->outputPath)) return false;
  request->bitRate = job.bitRate;
  request->sampleRate = job.sampleRate;
  request->probed = {job.infoWord, job.infoPair[0]};
  return true;
}

ConversionResult convert(const ConversionRequest& request,
                         const std::function<void(double)>& reportProgress) {
  if (request.outputPath == request.inputPath ||
      platform::sameFile(request.inputPath.c_str(), request.outputPath.c_str())) {
    return ConversionResult::kSameFile;
  }
  int64_t inputSize = 0;
  {
    platform::File input;
    if (!input.open(request.inputPath.c_str(), platform::File::Mode::kRead)) {
      return ConversionResult::kInputUnreadable;
    }
    inputSize = input.size();
  }
  Mp3Writer writer(request.outputPath, request.bitRate, request.sampleRate);
  Timeline timeline(writer, request.probed);
  // Progress: the first pass over the tags counts for a tenth, the second,
  // which decodes and encodes, for the rest.
  constexpr double kSurveyShare = 0.1;
  double reported = 0.0;
  const auto report = [&](const TagRecord& record, double from, double share) {
    if (inputSize <= 0) return;
    const double done = static_cast<double>(record.filePosition + record.rawSize) / static_cast<double>(inputSize);
    reported = std::max(reported, from + share * std::min(done, 1.0));
    reportProgress(reported);
  };
  // While hours of silence are written, the progress still moves, by the
  // least step a double takes.
  writer.setKeepAlive([&] {
    reported = std::nextafter(reported, 1.0);
    reportProgress(reported);
  });
  // The end of the file and a damaged tag both end the input: the audio
  // before them is converted, as the re-timers read the same tags.
  {
    tarvel::ReaderPtr surveyed(CreateFileReadAble(request.inputPath.c_str()));
    FlvHeaderRecord header;
    if (!surveyed || !Flv_ReadHeader(surveyed.get(), &header)) return ConversionResult::kInputUnreadable;
    tarvel::TagSlot tag;
    while (tag.next(surveyed.get())) {
      if (tag->tagType == flv::kAudio) timeline.survey(audioTagOf(*tag));
      if (tag->tagType == flv::kVideo) timeline.surveyVideo(tag->timestamp);
      report(*tag, 0.0, kSurveyShare);
    }
  }
  tarvel::ReaderPtr reader(CreateFileReadAble(request.inputPath.c_str()));
  FlvHeaderRecord header;
  if (!reader || !Flv_ReadHeader(reader.get(), &header)) {
    return ConversionResult::kInputUnreadable;
  }
  tarvel::TagSlot tag;
  while (tag.next(reader.get())) {
    const TagRecord& record = *tag;
    if (record.tagType == flv::kAudio) {
      const Timeline::Result added = timeline.add(audioTagOf(record));
      if (added != Timeline::Result::kOk) return resultOf(added);
    } else if (record.tagType == flv::kVideo) {
      timeline.video(record.timestamp, retime::compositionOffset(record));
    }
    report(record, kSurveyShare, 1.0 - kSurveyShare);
  }
  const Timeline::Result finished = timeline.finish();
  if (finished != Timeline::Result::kOk) return resultOf(finished);
  if (!writer.commit()) return ConversionResult::kEncodeOrWriteFailed;
  reportProgress(1.0);
  return ConversionResult::kDone;
}

}  // namespace tonecast
