// Refreshes the metadata of one FLV file through Tarvel's C interface, as a
// repair's last step does; for timing against other tools.
#include <cstdio>

#include "libs/tarvel/tarvel.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: meta_update file.flv\n");
    return 2;
  }
  void* meta = FlvMetaCreateObject();
  int ok = meta && FlvMetaParseFromFile(meta, argv[1]) && FlvMetaUpdateToFile(meta, argv[1]);
  FlvMetaDeleteObject(meta);
  return ok ? 0 : 1;
}
