// Which file a reader reads: callers that open a file more than once check
// by it that every open found the same file, unchanged.
#include "libs/tarvel/tag_reader.h"
#include "libs/tarvel/tarvel.h"

extern "C" {

int32_t Flv_GetFileVersion(void* reader, FlvFileVersion* version) {
  if (!reader || !version) return 0;
  platform::FileVersion v;
  if (!tarvel::readerOf(reader)->file().version(&v)) return 0;
  version->device = v.id.device;
  version->index = v.id.index;
  version->size = v.size;
  version->modified = v.modified;
  return 1;
}

}  // extern "C"
