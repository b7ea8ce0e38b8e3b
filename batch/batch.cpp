#include "batch/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "batch/content_hash.h"
#include "batch/manifest.h"
#include "batch/tree.h"
#include "platform/file.h"
#include "platform/process.h"
#include "report/drift_scan.h"

namespace batch {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The tagmend options a batch passes on. tagmend itself says (exit code 1)
// when the installed one does not know one of them.
constexpr const char* kTagmendOptions[] = {"--aac", "--speex"};
constexpr unsigned kMaxJobs = 1024;
constexpr int kTagmendNoAudio = 7;

bool parseCount(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text.size() > 9) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > max) return false;
  *out = value;
  return true;
}

Measure measure(const std::string& path, const std::string& relative) {
  report::FileReport r = report::scanFile(path);
  Measure m;
  m.file = relative;
  if (!r.error.empty()) {
    m.error = r.error;
    return m;
  }
  m.verdict = report::verdictName(r.verdict);
  m.audio = report::soundFormatName(r.soundFormat);
  m.driftPercent = r.driftPercent;
  m.maxAvOffsetMs = r.maxAvOffsetMs;
  return m;
}

int64_t sizeOf(const fs::path& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return -1;
  const uintmax_t size = fs::file_size(path, error);
  return error ? -1 : static_cast<int64_t>(size);
}

// True when path lies inside folder (or is it), both made absolute with
// their links resolved as far as they exist.
bool within(const fs::path& path, const fs::path& folder) {
  auto p = path.begin();
  for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
    if (f->empty()) continue;  // a trailing separator
    if (p == path.end() || *p != *f) return false;
  }
  return true;
}

std::string duration(double seconds) {
  const long long s = static_cast<long long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

class Run {
 public:
  Run(const Options& options, const std::string& tagmend, const fs::path& inDir, const fs::path& outDir)
      : options_(options), tagmend_(tagmend), inDir_(inDir), outDir_(outDir) {}

  int go(std::vector<Input> inputs, std::map<std::string, Record> previous, const std::string& manifestPath) {
    inputs_ = std::move(inputs);
    previous_ = std::move(previous);
    if (!manifest_.open(manifestPath)) {
      std::fprintf(stderr, "tagmend-batch: %s cannot be opened for writing\n", manifestPath.c_str());
      return kBadArguments;
    }
    for (const Input& input : inputs_) totalBytes_ += std::max<int64_t>(0, sizeOf(inDir_ / fs::path(input.relative)));
    start_ = Clock::now();
    const unsigned jobs = std::max(1u, std::min<unsigned>(options_.jobs, static_cast<unsigned>(inputs_.size())));
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < jobs; ++i) workers.emplace_back([this] { work(); });
    if (platform::standardErrorIsTerminal()) {
      std::unique_lock<std::mutex> lock(mutex_);
      while (finished_ < inputs_.size()) {
        changed_.wait_for(lock, std::chrono::seconds(1));
        progress(false);
      }
      progress(true);
    }
    for (std::thread& t : workers) t.join();
    std::printf("tagmend-batch: %zu files: %zu repaired, %zu done before, %zu failed; manifest %s\n", inputs_.size(),
                repaired_, skipped_, failed_, manifestPath.c_str());
    std::fflush(stdout);
    return failed_ > 0 || manifestFailed_ ? kSomeFailed : kAllDone;
  }

 private:
  void work() {
    while (true) {
      const size_t i = running_.fetch_add(1);
      if (i >= inputs_.size()) return;
      repairOne(inputs_[i]);
    }
  }

  // Whether an earlier run finished this input as it is now, its outputs
  // still there at the sizes it wrote.
  bool doneBefore(const Input& input, int64_t size, const std::string& hash) const {
    auto it = previous_.find(input.relative);
    if (it == previous_.end()) return false;
    const Record& r = it->second;
    if (!r.done || r.size != size || r.hash != hash) return false;
    for (const OutputFile& o : r.outputs) {
      if (sizeOf(outDir_ / fs::path(o.file)) != o.size) return false;
    }
    return true;
  }

  void repairOne(const Input& input) {
    const Clock::time_point started = Clock::now();
    const fs::path inPath = inDir_ / fs::path(input.relative);
    const std::string in = inPath.string();
    Record r;
    r.input = input.relative;
    auto hashInput = [&] {
      uint64_t hash = 0;
      if (hashFile(in, &hash, &r.size)) {
        r.hash = hashText(hash);
      } else {
        r.size = std::max<int64_t>(0, sizeOf(inPath));
      }
    };
    // An input with a line in a manifest is hashed first, to tell whether
    // it is done; any other is hashed and measured while tagmend repairs it
    // (both only read it), where a core waits on the disk or on tagmend.
    const bool seenBefore = previous_.count(input.relative) != 0;
    if (seenBefore) {
      hashInput();
      if (!r.hash.empty() && doneBefore(input, r.size, r.hash)) return finish(r, /*skipped=*/true, "");
    }

    // What an earlier run left for this input goes first, so that the
    // outputs listed are this run's (tagmend leaves what it finds when it
    // fails). Never the input itself.
    const fs::path prefix = outDir_ / fs::path(input.prefix);
    const std::string flv = prefix.string() + ".flv";
    const std::string mp3 = prefix.string() + ".mp3";
    for (const std::string& old : {flv, mp3}) {
      if (platform::fileExists(old.c_str()) && !platform::sameFile(old.c_str(), in.c_str()))
        platform::removeFile(old.c_str());
    }
    std::error_code error;
    fs::create_directories(prefix.parent_path(), error);

    std::vector<std::string> args = options_.tagmendOptions;
    args.push_back(in);
    args.push_back(prefix.string());
    std::string why;
    std::unique_ptr<platform::Process> child = platform::startProcessDiscardingOutput(tagmend_, args);
    if (!seenBefore) hashInput();
    r.before = measure(in, "");
    uint32_t code = 0;
    if (!child) {
      why = "tagmend cannot be started: " + tagmend_;
    } else {
      while (child->wait(60000) == platform::WaitResult::kTimedOut) {
      }
      if (!child->exitCode(&code) || code == platform::kStillActive) why = "tagmend's end cannot be read";
    }
    r.tagmendExit = why.empty() ? static_cast<int>(code) : -1;
    child.reset();

    for (const char* ext : {".flv", ".mp3"}) {
      const int64_t size = sizeOf(fs::path(prefix.string() + ext));
      if (size >= 0) r.outputs.push_back({input.prefix + ext, size});
    }
    if (sizeOf(fs::path(flv)) >= 0) r.after = measure(flv, input.prefix + ".flv");
    // Repaired, or nothing to repair: tagmend writes nothing for an input
    // without audio (7), nor for one it leaves alone (0).
    r.done = r.tagmendExit == 0 || r.tagmendExit == kTagmendNoAudio;
    r.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (!r.done && why.empty()) why = "tagmend exit " + std::to_string(r.tagmendExit);
    finish(r, false, why);
  }

  void finish(const Record& r, bool skipped, const std::string& why) {
    const bool written = skipped || manifest_.append(r);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!written && !manifestFailed_) {
      clearProgress();
      std::fputs("tagmend-batch: the manifest cannot be written\n", stderr);
      manifestFailed_ = true;
    }
    if (!why.empty()) {
      clearProgress();
      std::fprintf(stderr, "tagmend-batch: %s: %s\n", r.input.c_str(), why.c_str());
    }
    ++finished_;
    if (skipped) {
      ++skipped_;
    } else if (r.done) {
      ++repaired_;
    } else {
      ++failed_;
    }
    doneBytes_ += r.size;
    changed_.notify_all();
  }

  // Called with mutex_ held.
  void clearProgress() {
    if (progressWidth_ == 0) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(progressWidth_), "");
    progressWidth_ = 0;
  }

  // Files done, failures, bytes per second, time left; the last one ends
  // its line. Called with mutex_ held.
  void progress(bool last) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    const double rate = elapsed > 0 ? static_cast<double>(doneBytes_) / elapsed : 0;
    std::string left = "-";
    if (rate > 0) left = duration(static_cast<double>(std::max<int64_t>(0, totalBytes_ - doneBytes_)) / rate);
    char line[200];
    const int n = std::snprintf(line, sizeof line, "%zu/%zu files, %zu failed, %.1f MB/s, %s left", finished_,
                                inputs_.size(), failed_, rate / 1e6, last ? "0:00:00" : left.c_str());
    const size_t width = n > 0 ? static_cast<size_t>(n) : 0;
    std::fprintf(stderr, "\r%s%*s", line, static_cast<int>(progressWidth_ > width ? progressWidth_ - width : 0), "");
    progressWidth_ = width;
    if (last) {
      std::fputc('\n', stderr);
      progressWidth_ = 0;
    }
    std::fflush(stderr);
  }

  const Options& options_;
  const std::string tagmend_;
  const fs::path inDir_;
  const fs::path outDir_;
  std::vector<Input> inputs_;
  std::map<std::string, Record> previous_;
  ManifestWriter manifest_;
  std::atomic<size_t> running_{0};
  Clock::time_point start_;
  int64_t totalBytes_ = 0;

  std::mutex mutex_;  // what follows
  std::condition_variable changed_;
  size_t finished_ = 0;
  size_t repaired_ = 0;
  size_t skipped_ = 0;
  size_t failed_ = 0;
  int64_t doneBytes_ = 0;
  bool manifestFailed_ = false;
  size_t progressWidth_ = 0;
};

}  // namespace

bool parseOptions(const std::vector<std::string>& args, Options* options, std::string* why) {
  std::vector<std::string> folders;
  bool optionsDone = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsDone || a.empty() || a[0] != '-' || a == "-") {
      folders.push_back(a);
    } else if (a == "--") {
      optionsDone = true;
    } else if (a == "-j" || a.rfind("-j", 0) == 0 || a == "--jobs") {
      std::string count = a.size() > 2 && a != "--jobs" ? a.substr(2) : (i + 1 < args.size() ? args[++i] : "");
      uint64_t n = 0;
      if (!parseCount(count, kMaxJobs, &n) || n == 0) {
        *why = "-j needs a count from 1 to " + std::to_string(kMaxJobs);
        return false;
      }
      options->jobs = static_cast<unsigned>(n);
    } else if (a == "--shard") {
      const std::string shardArg = i + 1 < args.size() ? args[++i] : "";
      const size_t slash = shardArg.find('/');
      uint64_t k = 0, n = 0;
      if (slash == std::string::npos || !parseCount(shardArg.substr(0, slash), 999999999, &k) ||
          !parseCount(shardArg.substr(slash + 1), 999999999, &n) || n == 0 || k >= n) {
        *why = "--shard needs K/N, 0 <= K < N (such as 0/4 ... 3/4)";
        return false;
      }
      options->shard = k;
      options->shards = n;
    } else if (std::find(std::begin(kTagmendOptions), std::end(kTagmendOptions), a) != std::end(kTagmendOptions)) {
      if (std::find(options->tagmendOptions.begin(), options->tagmendOptions.end(), a) ==
          options->tagmendOptions.end())
        options->tagmendOptions.push_back(a);
    } else {
      *why = "unknown option " + a;
      return false;
    }
  }
  if (folders.size() != 2) {
    *why = "needs IN_DIR and OUT_DIR";
    return false;
  }
  options->inDir = folders[0];
  options->outDir = folders[1];
  if (options->jobs == 0) options->jobs = std::max(1u, std::thread::hardware_concurrency());
  return true;
}

std::string manifestName(const Options& options) {
  if (options.shards == 0) return "manifest.jsonl";
  return "manifest-" + std::to_string(options.shard) + "-of-" + std::to_string(options.shards) + ".jsonl";
}

int runBatch(const Options& options, const std::string& tagmend) {
  std::error_code error;
  const fs::path inDir = fs::weakly_canonical(fs::absolute(options.inDir, error), error);
  if (error || !fs::is_directory(inDir, error)) {
    std::fprintf(stderr, "tagmend-batch: %s is not a folder that can be read\n", options.inDir.c_str());
    return kBadArguments;
  }
  // The inputs are never written: OUT_DIR may lie inside IN_DIR (and is
  // not walked), not the other way round.
  const fs::path outDir = fs::weakly_canonical(fs::absolute(options.outDir, error), error);
  if (!error && within(inDir, outDir)) {
    std::fprintf(stderr, "tagmend-batch: IN_DIR %s lies inside OUT_DIR %s\n", options.inDir.c_str(),
                 options.outDir.c_str());
    return kBadArguments;
  }
  if (!error) fs::create_directories(outDir, error);
  if (error || !fs::is_directory(outDir, error)) {
    std::fprintf(stderr, "tagmend-batch: %s cannot be made as a folder\n", options.outDir.c_str());
    return kBadArguments;
  }
  if (!platform::fileExists(tagmend.c_str())) {
    std::fprintf(stderr, "tagmend-batch: %s is missing\n", tagmend.c_str());
    return kBadArguments;
  }
  std::vector<Input> all;
  std::string why;
  if (!findInputs(inDir.string(), within(outDir, inDir) ? outDir.string() : "", &all, &why)) {
    std::fprintf(stderr, "tagmend-batch: %s cannot be read: %s\n", options.inDir.c_str(), why.c_str());
    return kBadArguments;
  }
  // Prefixes from the whole tree, so that every shard gives an input the
  // same one.
  assignPrefixes(&all);
  std::vector<Input> mine;
  for (Input& input : all) {
    if (options.shards == 0 || shardOf(input.relative, options.shards) == options.shard) mine.push_back(std::move(input));
  }

  // Every manifest in OUT_DIR tells what is done (a tree repaired whole
  // before may be sharded now, or the other way round); this run's own is
  // read last, its lines the latest word.
  const std::string own = manifestName(options);
  std::vector<std::string> manifests;
  for (const fs::directory_entry& entry : fs::directory_iterator(outDir, error)) {
    const std::string name = entry.path().filename().string();
    if (name != own && name.rfind("manifest", 0) == 0 && name.size() > 6 &&
        name.compare(name.size() - 6, 6, ".jsonl") == 0)
      manifests.push_back(entry.path().string());
  }
  std::sort(manifests.begin(), manifests.end());
  const std::string manifestPath = (outDir / own).string();
  manifests.push_back(manifestPath);
  Run run(options, tagmend, inDir, outDir);
  return run.go(std::move(mine), readManifests(manifests), manifestPath);
}

}  // namespace batch
