// The MP3 file: LAME encodes the timeline's samples, and the file is written
// beside its final path and renamed into place only when it is complete.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tonecast/timeline.h"

struct lame_global_struct;

namespace tonecast {

class Mp3Writer : public SampleSink {
 public:
  // bitRate in bits per second and outRate in Hz: what the file is to hold,
  // whatever the rate of the samples it is given.
  Mp3Writer(std::string path, int32_t bitRate, int32_t outRate);
  Mp3Writer(const Mp3Writer&) = delete;
  Mp3Writer& operator=(const Mp3Writer&) = delete;
  // Without a successful commit(), removes the partial file: nothing is ever
  // left at the final path, nor beside it.
  ~Mp3Writer() override;

  // Sets up the encoder for samples at rate with channels and creates the
  // partial file. False when LAME refuses the parameters or the file cannot
  // be created.
  bool begin(int32_t rate, int channels) override;
  bool write(const float* const* planes, size_t frames) override;
  // A long stretch costs no encoding: LAME encodes a few frames of zeros on
  // either side, its bit reservoir is flushed in between (so that the next
  // frame refers to no byte before it), and there copies of one silent
  // frame (a header, side information of zeros) stand for the rest. The
  // LAME tag then counts the copies (frames, bytes, seek table, CRCs).
  bool writeSilence(int64_t frames) override;

  // Flushes the encoder, writes the LAME tag over the file's first frame (so
  // that a reader finds the exact length, encoder delay and padding), syncs,
  // closes and renames the file to its final path. False on any failure.
  bool commit();

  // Where the file is written until commit() renames it.
  const std::string& partialPath() const { return partialPath_; }

  // Silent frames copied into the stream so far.
  int64_t copiedFrames() const { return copiedFrames_; }

  // Called now and then while a long silence is copied (hours of it are
  // gigabytes of disk), so that the caller can show that work goes on.
  void setKeepAlive(std::function<void()> keepAlive) { keepAlive_ = std::move(keepAlive); }

 private:
  bool writeZeros(int64_t frames);
  bool makeSilentFrame();
  bool patchTag(unsigned char* tag, size_t size) const;
  bool writeOut(const unsigned char* bytes, size_t size, bool force);

  std::string path_;
  std::string partialPath_;
  int32_t bitRate_;
  int32_t outRate_;
  lame_global_struct* lame_ = nullptr;
  platform::File file_;
  bool created_ = false;
  bool committed_ = false;
  int32_t inRate_ = 0;
  std::vector<unsigned char> encoded_;  // LAME's output for one call
  std::vector<unsigned char> pending_;  // buffered for the file
  std::vector<float> zeros_;            // one call's worth of silence
  // The stream as written: its first bytes (the placeholder of the LAME
  // tag, one frame long), its length, and the CRC-16 of the bytes after
  // that frame, which the LAME tag carries.
  unsigned char head_[4] = {0, 0, 0, 0};
  int64_t streamBytes_ = 0;
  size_t tagFrameBytes_ = 0;
  uint16_t musicCrc_ = 0;
  std::vector<unsigned char> silentFrame_;
  int64_t copiedFrames_ = 0;
  std::function<void()> keepAlive_;
  double silenceCarry_ = 0.0;  // input frames owed by the copies so far, under one
};

}  // namespace tonecast
