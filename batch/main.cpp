// tagmend-batch [-j N] [--shard K/N] [--aac] [--speex] IN_DIR OUT_DIR
#include <cstdio>
#include <string>
#include <vector>

#include "batch/batch.h"
#include "libs/quennet/quennet.h"
#include "platform/process.h"

#ifndef TAGMEND_EXE_SUFFIX
#define TAGMEND_EXE_SUFFIX ""
#endif

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  batch::Options options;
  std::string why;
  if (!batch::parseOptions(args, &options, &why)) {
    std::fprintf(stderr, "tagmend-batch: %s\n%s", why.c_str(), batch::kUsage);
    return batch::kBadArguments;
  }
  // The tagmend that was built and installed with this program.
  platform::ProgramLocation self;
  if (!platform::programLocation(&self)) {
    std::fputs("tagmend-batch: cannot tell where this program lies, to find tagmend beside it\n", stderr);
    return batch::kBadArguments;
  }
  const std::string tagmend = self.fullPath.substr(0, self.fileNamePos) + "tagmend" TAGMEND_EXE_SUFFIX;
  Quennet_init();
  return batch::runBatch(options, tagmend);
}
