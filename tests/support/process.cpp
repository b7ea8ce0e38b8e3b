// Running executables for the end-to-end tests, and the external tools.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/e2e.h"

extern char** environ;

namespace e2e {
namespace {

std::string envOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : fallback;
}

// The child's environment: ours with extraEnv's entries replacing those of
// the same name.
std::vector<std::string> childEnvironment(const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& x : extraEnv) replaced |= x.substr(0, x.find('=')) == name;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  return env;
}

std::vector<char*> cStrings(std::vector<std::string>& v) {
  std::vector<char*> out;
  for (auto& s : v) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Reads both pipes until they close or the deadline passes; false on timeout.
bool drain(int outFd, int errFd, std::string& out, std::string& err,
           std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    int n = poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return true;
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const std::string& cwd,
              const std::vector<std::string>& extraEnv, int timeoutSeconds) {
  RunResult r;
  if (argv.empty()) {
    ADD_FAILURE() << "run: no program";
    return r;
  }
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
    ADD_FAILURE() << "run: pipe: " << std::strerror(errno);
    return r;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
    posix_spawn_file_actions_addclose(&actions, fd);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

  std::vector<std::string> args(argv), env = childEnvironment(extraEnv);
  std::vector<char*> cArgs = cStrings(args), cEnv = cStrings(env);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, cArgs.data(), cEnv.data());
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    ADD_FAILURE() << "run: cannot start " << args[0] << ": " << std::strerror(rc);
    return r;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  bool finished = drain(outPipe[0], errPipe[0], r.out, r.err, deadline);
  close(outPipe[0]);
  close(errPipe[0]);
  if (!finished) {
    kill(pid, SIGKILL);
    ADD_FAILURE() << "run: " << args[0] << " still running after " << timeoutSeconds << " s; killed";
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) r.exitCode = 128 + WTERMSIG(status);
  return r;
}

std::string binDir() { return envOr("TAGMEND_BIN", TAGMEND_DEFAULT_BIN); }
std::string sourceDir() { return envOr("TAGMEND_SOURCE", TAGMEND_DEFAULT_SOURCE); }
std::string tagmendPath() { return binDir() + "/tagmend"; }

RunResult tagmend(const std::string& input, const std::string& prefix, const std::string& cwd) {
  return run({tagmendPath(), input, prefix}, cwd);
}

bool haveTool(const std::string& name) {
  std::stringstream path(envOr("PATH", "/usr/bin:/bin"));
  std::string dir;
  while (std::getline(path, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::string makeWithFfmpeg(const std::string& outPath, const std::string& args) {
  std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
  std::stringstream words(args);
  std::string w;
  while (words >> w) argv.push_back(w);
  argv.push_back(outPath);
  RunResult r = run(argv);
  if (r.exitCode != 0) ADD_FAILURE() << "ffmpeg " << args << " failed (" << r.exitCode << "): " << r.err;
  return outPath;
}

namespace {

// The number after "name": in flvmeta's report, or -1.
int jsonCount(const std::string& json, const std::string& name) {
  size_t at = json.rfind("\"" + name + "\":");
  if (at == std::string::npos) return -1;
  at += name.size() + 3;
  size_t end = json.find_first_not_of("0123456789", at);
  if (end == at) return -1;
  return std::stoi(json.substr(at, end - at));
}

// The string after "name":" from position at (flvmeta escapes no quotes
// in the messages this suite meets), moving at past it.
std::string jsonString(const std::string& json, const std::string& name, size_t& at) {
  std::string opener = "\"" + name + "\":\"";
  size_t start = json.find(opener, at);
  if (start == std::string::npos) return at = std::string::npos, "";
  start += opener.size();
  size_t end = json.find('"', start);
  if (end == std::string::npos) return at = std::string::npos, "";
  at = end + 1;
  return json.substr(start, end - start);
}

}  // namespace

FlvmetaCheck flvmetaCheck(const std::string& path) {
  FlvmetaCheck c;
  RunResult r = run({"flvmeta", "--check", "--json", "--level=warning", path});
  c.json = r.out;
  // The report ends with "errors":N,"warnings":N; fatal messages are
  // already counted among the errors.
  c.errors = jsonCount(c.json, "errors");
  c.warnings = jsonCount(c.json, "warnings");
  for (size_t at = 0;;) {
    FlvmetaMessage m;
    m.level = jsonString(c.json, "level", at);
    if (at == std::string::npos) break;
    m.text = jsonString(c.json, "message", at);
    if (at == std::string::npos) break;
    c.messages.push_back(m);
  }
  if (c.errors < 0) c.json += r.err;
  return c;
}

std::string ffprobeJson(const std::string& path) {
  return run({"ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "json", path}).out;
}

bool ffprobeReads(const std::string& path, std::string* errors) {
  RunResult r = run({"ffprobe", "-v", "error", "-show_packets", "-of", "compact", path});
  if (errors) *errors = r.err;
  return r.exitCode == 0 && r.err.empty();
}

std::string videoDtsStepsBack(const std::string& path) {
  RunResult r = run({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                     "packet=dts", "-of", "csv=p=0", path});
  if (r.exitCode != 0) return "ffprobe failed: " + r.err;
  std::istringstream lines(r.out);
  long long previous = 0;
  int packets = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line == "N/A") continue;
    long long dts = std::stoll(line);
    if (packets++ > 0 && dts < previous)
      return "video dts " + std::to_string(dts) + " after " + std::to_string(previous) +
             " (packet " + std::to_string(packets) + ")";
    previous = dts;
  }
  return packets == 0 ? "no video packets" : "";
}

// ---- What a viewer sees ------------------------------------------------------

namespace {

// Runs ffmpeg's filter graph on one stream of path and returns each frame's
// pts_time with the value that ametadata or metadata printed for key.
std::vector<std::pair<double, double>> printedPerFrame(const std::string& path, const std::string& stream,
                                                       const std::string& graph, const std::string& key,
                                                       const TempDir& dir) {
  const std::string printed = dir.file("printed.txt");
  std::remove(printed.c_str());
  RunResult r = run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", path, "-map", stream,
                     stream[2] == 'v' ? "-vf" : "-af", graph + "print:key=" + key + ":file=" + printed,
                     "-f", "null", "-"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::ifstream text(printed);
  std::vector<std::pair<double, double>> values;
  double pts = 0;
  for (std::string line; std::getline(text, line);) {
    const size_t at = line.find("pts_time:");
    if (at != std::string::npos) pts = std::stod(line.substr(at + 9));
    const size_t v = line.find(key + "=");
    if (v != std::string::npos) values.emplace_back(pts, std::stod(line.substr(v + key.size() + 1)));
  }
  return values;
}

}  // namespace

std::vector<double> flashTimes(const std::string& path, const TempDir& dir) {
  std::vector<double> times;
  bool lit = false;
  for (auto [pts, luma] : printedPerFrame(path, "0:v:0", "signalstats,metadata=", "lavfi.signalstats.YAVG", dir)) {
    const bool bright = luma > 128;
    if (bright && !lit) times.push_back(pts);
    lit = bright;
  }
  return times;
}

std::vector<double> beepTimes(const std::string& path, const TempDir& dir, BeepClock clock) {
  std::vector<double> times;
  double lastLoud = -1e9;
  // Played without a break, each piece of 64 samples follows the one before.
  const std::string graph = std::string(clock == BeepClock::kSamplesPlayedInTurn ? "asetpts=N/SR/TB+STARTPTS," : "") +
                            "asetnsamples=n=64:p=0,astats=metadata=1:reset=1:measure_perchannel=none:measure_overall=Peak_level,ametadata=";
  for (auto [pts, peakDb] : printedPerFrame(path, "0:a:0", graph,
                                            "lavfi.astats.Overall.Peak_level", dir)) {
    if (peakDb < -14) continue;  // below 0.2 of full scale
    if (pts - lastLoud >= 0.3) times.push_back(pts);
    lastLoud = pts;
  }
  return times;
}

double worstDistance(const std::vector<double>& from, const std::vector<double>& to) {
  double worst = 0;
  for (double f : from) {
    double nearest = 1e9;
    for (double t : to) nearest = std::min(nearest, std::fabs(f - t));
    worst = std::max(worst, nearest);
  }
  return worst;
}

}  // namespace e2e
