// The frame every repair shares: input and output opened, the header copied,
// the tags handed to the repair, then the output closed with fresh metadata
// and put in place.
#pragma once

#include <string>

#include "platform/diagnostics.h"
#include "retime/handles.h"
#include "retime/output_path.h"
#include "retime/staged_output.h"
#include "retime/timeline.h"

namespace retime {

// Runs body(reader, writer, header) between opening and publishing. 0 when
// the output would overwrite the input (or outPath is empty: the prefix was
// too long), the input cannot be opened or has no FLV header, the output
// cannot be created, body returns false, or a write fails; then nothing is
// left at outPath that was not there before. 1 when the output is in place.
template <class Body>
int runRepair(const char* inputPath, const std::string& outPath, Body&& body) {
  // Checked first: creating the output over the input would destroy it.
  if (outPath.empty() || wouldOverwriteInput(inputPath, outPath)) return 0;
  ReaderPtr reader(CreateFileReadAble(inputPath));
  if (!reader) {
    platform::reportFailure("open input", inputPath);
    return 0;
  }
  FlvHeaderRecord header;
  if (!Flv_ReadHeader(reader.get(), &header)) return 0;
  StagedOutput output(outPath);
  Writer writer(CreateFileWriteAble(output.path()));
  if (!writer) {
    platform::reportFailure("create output", output.path());
    return 0;
  }
  Flv_WriteHeader(writer.get(), &header);
  if (!body(reader.get(), writer.get(), header)) return 0;
  reader.reset();
  // A write that failed leaves a truncated file: that is no success. The
  // metadata comes from the tags as they were written; the file is not read
  // back for it.
  if (!writer.closeWithMetadata()) {
    platform::reportFailure("write output", output.path());
    return 0;
  }
  return output.publish() ? 1 : 0;
}

// The pass both video re-timers make: each audio tag advances the clock
// (clock.place(tag) false: give up), each video tag is written moved by the
// clock's drift, every other tag is dropped.
template <class Clock>
bool writeVideoFollowing(void* reader, void* writer, Clock& clock) {
  TagSlot tag;
  while (tag.next(reader)) {
    if (tag->tagType == 8) {
      if (!clock.place(*tag)) return false;
    } else if (tag->tagType == 9) {
      stampTimestamp(*tag, movedTimestamp(tag->timestamp, clock.drift()));
      Flv_WriteTag(writer, &*tag);
    }
  }
  return true;
}

}  // namespace retime
