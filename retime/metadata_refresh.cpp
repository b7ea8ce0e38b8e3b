#include "retime/retime.h"

int refreshMetadata(const char* path) {
  void* meta = FlvMetaCreateObject();
  if (!meta) return 0;
  int ok = FlvMetaParseFromFile(meta, path) && FlvMetaUpdateToFile(meta, path);
  FlvMetaDeleteObject(meta);
  return ok ? 1 : 0;
}
