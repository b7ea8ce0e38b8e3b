#include "retime/retime.h"

namespace {

int refresh(const char* path, const FlvFileVersion* file) {
  void* meta = FlvMetaCreateObject();
  if (!meta) return 0;
  int ok = FlvMetaParseFromFileChecked(meta, path, file) && FlvMetaUpdateToFile(meta, path);
  FlvMetaDeleteObject(meta);
  return ok ? 1 : 0;
}

}  // namespace

int refreshMetadata(const char* path) { return refresh(path, nullptr); }

int refreshMetadataOf(const char* path, const FlvFileVersion& file) { return refresh(path, &file); }
