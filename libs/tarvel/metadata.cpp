// The metadata object: a scan of a closed FLV file, then a rewrite that
// puts a fresh onMetaData tag in front of its tags.
//
// Three ways to write, tried in this order:
//
// Over the room in front: where the old header and metadata take at least
// as many bytes as the new ones (a file from this library's writer, which
// leaves room for them), the new ones are written over them, padded to fill.
// The tags stay where they are; the update costs a write of the metadata.
//
// In place, where the file system can insert whole blocks at a file's start
// (ext4, XFS): the blocks are inserted, then the new header and a metadata
// tag padded to fill them are written over the old header and stale
// metadata. The update costs the metadata, not the file. Everything that can
// be checked is checked before the insert; an insert that fails leaves the
// file untouched, and a write that fails after it is undone by removing the
// blocks again. What it cannot promise: a crash between the insert and the
// end of the header write (a window of two system calls, plus the flush on
// power loss) leaves zero bytes in front of the old file. The files this
// library refreshes are outputs a repair has just written and nobody else
// holds, so the window is accepted for the cost it saves; callers that need
// the stronger promise on such file systems are not among them.
//
// Otherwise a replacement is written beside the file, the tags copied into
// it by the kernel, flushed and renamed over the original: a crash leaves
// the old file or the new one.
#include <memory>
#include <new>
#include <string>

#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/meta_build.h"
#include "libs/tarvel/meta_scan.h"
#include "libs/tarvel/metadata_internal.h"
#include "libs/tarvel/tarvel.h"
#include "platform/file.h"

namespace tarvel {

namespace {

struct MetaObject {
  bool parsed = false;
  FlvScan scan;
  platform::FileId id;
};

// The bytes in front of the first tag that the rewrite keeps: stale
// metadata tags there go with the old header.
int64_t firstKeptTag(const FlvScan& scan) {
  int64_t from = scan.firstTag;
  for (const ByteRange& stale : scan.staleMetadata) {
    if (stale.begin != from) break;
    from = stale.end;
  }
  return from;
}

bool staleOnlyInFront(const FlvScan& scan) {
  int64_t from = scan.firstTag;
  for (const ByteRange& stale : scan.staleMetadata) {
    if (stale.begin != from) return false;
    from = stale.end;
  }
  return true;
}

// The old header and metadata leave room enough: the new ones are written
// over them, padded to the same size, and no tag moves. One write of the
// prefix; should it fail, the old bytes are put back.
// Writes prefix over the file's first bytes, which hold old; a failed write
// puts old back.
UpdateResult writeOverRoom(platform::File& file, const std::vector<uint8_t>& prefix,
                           const std::vector<uint8_t>& old) {
  int64_t n = static_cast<int64_t>(prefix.size());
  if (!testHook(UpdateStep::kBeforeOverwrite) || !file.writeAt(prefix.data(), n, 0)) {
    return file.writeAt(old.data(), n, 0) ? UpdateResult::kFailed : UpdateResult::kDamaged;
  }
  return UpdateResult::kDone;
}

UpdateResult overwriteRoom(const FlvScan& scan, const MetadataLayout& layout, platform::File& file,
                           int64_t room) {
  std::vector<uint8_t> prefix = buildPrefix(scan, layout, room);
  if (prefix.empty()) return UpdateResult::kNotTried;
  std::vector<uint8_t> old(prefix.size());
  int64_t n = static_cast<int64_t>(prefix.size());
  if (file.readAt(old.data(), n, 0) != n) return UpdateResult::kFailed;
  UpdateResult written = writeOverRoom(file, prefix, old);
  if (written != UpdateResult::kDone) return written;
  // A tail that does not form a tag is dropped, as the copy drops it.
  if (scan.truncated && !file.truncate(scan.endOfTags)) return UpdateResult::kFailed;
  return file.close() ? UpdateResult::kDone : UpdateResult::kFailed;
}

UpdateResult updateInPlace(const FlvScan& scan, const MetadataLayout& layout, const char* path) {
  if (!staleOnlyInFront(scan)) return UpdateResult::kNotTried;
  platform::File file;
  if (!file.open(path, platform::File::Mode::kReadWrite)) return UpdateResult::kNotTried;
  if (file.size() != scan.fileSize) return UpdateResult::kFailed;
  int64_t minimal = minimalPrefixBytes(scan, layout);
  if (minimal < 0) return UpdateResult::kNotTried;
  int64_t replaced = firstKeptTag(scan);  // old header and stale metadata
  int64_t needed = minimal + kMinPaddingBytes - replaced;
  if (needed <= 0) {
    UpdateResult result = overwriteRoom(scan, layout, file, replaced);
    if (result != UpdateResult::kNotTried) return result;
  }
  int64_t block = file.blockSize();
  if (block <= 0 || needed <= 0) return UpdateResult::kNotTried;
  int64_t inserted = (needed + block - 1) / block * block;
  std::vector<uint8_t> prefix = buildPrefix(scan, layout, replaced + inserted);
  if (prefix.empty()) return UpdateResult::kNotTried;
  if (!testHook(UpdateStep::kBeforeInsert)) return UpdateResult::kFailed;
  if (!file.insertAtStart(inserted)) return UpdateResult::kNotTried;
  if (!testHook(UpdateStep::kAfterInsert) ||
      !file.writeAt(prefix.data(), static_cast<int64_t>(prefix.size()), 0)) {
    // Put the file back as it was; it never held the new header.
    return file.removeAtStart(inserted) ? UpdateResult::kFailed : UpdateResult::kDamaged;
  }
  // A tail that does not form a tag is dropped, as the copy drops it.
  if (scan.truncated && !file.truncate(inserted + scan.endOfTags)) return UpdateResult::kFailed;
  if (!file.sync() || !file.close()) return UpdateResult::kFailed;
  return UpdateResult::kDone;
}

std::string replacementPath(const char* path) {
  return std::string(path) + "." + std::to_string(platform::currentThreadId()) + ".tarvel-tmp";
}

bool writeReplacement(const FlvScan& scan, const MetadataLayout& layout, platform::File& in,
                      const std::string& tmp) {
  std::vector<uint8_t> prefix = buildPrefix(scan, layout);
  if (prefix.empty()) return false;
  platform::File out;
  if (!out.open(tmp.c_str(), platform::File::Mode::kCreateNew)) return false;
  if (!out.write(prefix.data(), static_cast<int64_t>(prefix.size()))) return false;
  int64_t at = static_cast<int64_t>(prefix.size());
  for (const ByteRange& r : layout.keptRanges) {
    if (!testHook(UpdateStep::kCopying)) return false;
    if (!out.copyFrom(in, r.begin, at, r.end - r.begin)) return false;
    at += r.end - r.begin;
  }
  return out.sync() && out.close();
}

bool updateByCopy(const FlvScan& scan, const MetadataLayout& layout, const char* path) {
  platform::File in;
  if (!in.open(path, platform::File::Mode::kRead) || in.size() != scan.fileSize) return false;
  std::string tmp = replacementPath(path);
  platform::removeFile(tmp.c_str());  // left by a run that crashed
  bool written = writeReplacement(scan, layout, in, tmp);
  in.close();
  if (!written || !testHook(UpdateStep::kBeforeRename) || !platform::replaceFile(tmp.c_str(), path)) {
    platform::removeFile(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

namespace {
TestHook gTestHook = nullptr;
UpdateMethod gMethod = UpdateMethod::kAny;
}  // namespace

void setTestHook(TestHook hook) { gTestHook = hook; }
void setUpdateMethod(UpdateMethod method) { gMethod = method; }
bool testHook(UpdateStep step) { return gTestHook == nullptr || gTestHook(step); }

UpdateResult updateWrittenFile(const FlvScan& scan, platform::File& file, const std::vector<uint8_t>& written) {
  if (gMethod == UpdateMethod::kCopy || !staleOnlyInFront(scan) ||
      firstKeptTag(scan) != static_cast<int64_t>(written.size())) {
    return UpdateResult::kNotTried;
  }
  MetadataLayout layout = layoutOf(scan);
  int64_t minimal = minimalPrefixBytes(scan, layout);
  int64_t room = static_cast<int64_t>(written.size());
  if (minimal < 0 || minimal + kMinPaddingBytes > room) return UpdateResult::kNotTried;
  std::vector<uint8_t> prefix = buildPrefix(scan, layout, room);
  if (prefix.empty()) return UpdateResult::kNotTried;
  return writeOverRoom(file, prefix, written);
}

UpdateResult updateMetadata(const FlvScan& scan, const char* path) {
  MetadataLayout layout = layoutOf(scan);
  if (gMethod != UpdateMethod::kCopy) {
    UpdateResult result = updateInPlace(scan, layout, path);
    if (result != UpdateResult::kNotTried || gMethod == UpdateMethod::kInPlace) return result;
  }
  return updateByCopy(scan, layout, path) ? UpdateResult::kDoneByCopy : UpdateResult::kFailed;
}

}  // namespace tarvel

using tarvel::MetaObject;

extern "C" {

void* FlvMetaCreateObject(void) { return new (std::nothrow) MetaObject; }

int32_t FlvMetaParseFromFile(void* meta, const char* path) {
  if (!meta || !path) return 0;
  auto* object = static_cast<MetaObject*>(meta);
  object->parsed = false;
  platform::File file;
  if (!file.open(path, platform::File::Mode::kRead) || !platform::fileIdOf(path, &object->id)) return 0;
  try {
    object->parsed = tarvel::scanFlv(file, &object->scan);
  } catch (const std::bad_alloc&) {
    object->parsed = false;
  }
  return object->parsed ? 1 : 0;
}

int32_t FlvMetaUpdateToFile(void* meta, const char* path) {
  if (!meta || !path) return 0;
  auto* object = static_cast<MetaObject*>(meta);
  // The update rewrites what the scan saw; another file, or the same one
  // changed since, would be rewritten from stale offsets.
  platform::FileId id;
  if (!object->parsed || !platform::fileIdOf(path, &id) || !(id == object->id)) return 0;
  try {
    tarvel::UpdateResult result = tarvel::updateMetadata(object->scan, path);
    return result == tarvel::UpdateResult::kDone || result == tarvel::UpdateResult::kDoneByCopy;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

void FlvMetaDeleteObject(void* meta) { delete static_cast<MetaObject*>(meta); }

}  // extern "C"
