// The metadata rebuild on any file: parse and update, as refreshMetadata
// calls them. An update that fails leaves the file as it was; one that
// succeeds leaves a file that the reader reads and that parses again.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/tarvel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::writeScratch("meta.flv", data, size);
  void* meta = FlvMetaCreateObject();
  if (!meta) fuzz::fail("no metadata object");
  bool parsed = FlvMetaParseFromFile(meta, path.c_str()) != 0;
  bool updated = parsed && FlvMetaUpdateToFile(meta, path.c_str()) != 0;
  FlvMetaDeleteObject(meta);
  if (!updated) {
    fuzz::expectUnchanged(path, data, size);
    return 0;
  }
  // The rewritten file is a well-formed FLV: its header reads and it parses again.
  void* reader = CreateFileReadAble(path.c_str());
  FlvHeaderRecord header;
  if (!reader || !Flv_ReadHeader(reader, &header)) fuzz::fail("the updated file has no header");
  TagRecord tag;
  if (!Flv_ReadTag(reader, TARVEL_READ_WHOLE, &tag) || tag.tagType != flv::kScript) fuzz::fail("no script tag first");
  Flv_FreeTag(&tag);
  DeleteFileReadAble(reader);
  void* again = FlvMetaCreateObject();
  if (!FlvMetaParseFromFile(again, path.c_str())) fuzz::fail("the updated file does not parse");
  FlvMetaDeleteObject(again);
  return 0;
}
