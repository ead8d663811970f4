// What a playlist costs the viewer, stage by stage and as a whole.
//
// First the parser's and the rewriter's speed on ordinary playlists (MB/s of playlist text).
// Then the shapes an origin can send: playlists of many lines, many URIs, URIs with an "@",
// thousands of variants, under a long URL or behind a redirect to one, and real streams signed
// with long queries. Each shape is served by a local origin to a fresh `ombrelia-host serve`
// (the example application, the library as an application runs it) and asked for by one player
// and then by 8 at once; the viewer's peak and held resident memory above what it held before,
// its CPU time, the log lines it wrote and the players' statuses are printed, with the peak per
// playlist byte asked for, and the worst of those at the end; and beside each the bound the
// viewer's playlist memory keeps within (PlaylistWorkBudget), worked out from the shape's own
// stages as the budget counts them.
//
//   bench_playlist [--host PATH] [--only TEXT] [--players N,N] [--address-space GIB]
//                  [--skip-speed] [--stages]
// --host: the ombrelia-host to measure (another build's, to compare); --only: the shapes whose
// name holds TEXT; --address-space: the most the viewer may take (8 GiB by default); --stages:
// instead of the viewer, each stage run alone in this process on each shape, with the heap it
// takes at its peak, exactly, beside what the playlist work budget counts for it.
#include <curl/curl.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <ombrelia/OmbreliaConfig.hpp>

#include "playlist/parser/PlaylistParser.hpp"
#include "proxy/DownloadController.hpp"
#include "proxy/PlaylistRewriter.hpp"
#include "proxy/PlaylistWorkBudget.hpp"
#include "store/HLSManifestModifier.hpp"
#include "store/ManifestController.hpp"
#include "webserver/core/WebServer.hpp"
#include "webserver/requests/WebServerRequest.hpp"
#include "webserver/responses/WebServerDataResponse.hpp"

// ---------------------------------------------------------------------------------------------
// Exact heap counts for --stages: every C++ allocation of this process passes here, counted as
// the allocator sizes it.

namespace {

// Set before main allocates anything, and only with --stages: counting costs every allocation
// two atomic updates, which the parser's and the rewriter's speed must not pay.
bool countingHeap = false;
std::atomic<size_t> heapLive{0};
std::atomic<size_t> heapPeak{0};

void* counted(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  if (!countingHeap) return p;
  const size_t live = heapLive.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  size_t peak = heapPeak.load();
  while (live > peak && !heapPeak.compare_exchange_weak(peak, live)) {
  }
  return p;
}

void uncounted(void* p) noexcept {
  if (p == nullptr) return;
  if (countingHeap) heapLive.fetch_sub(malloc_usable_size(p));
  free(p);
}

}  // namespace

void* operator new(size_t n) { return counted(malloc(n == 0 ? 1 : n)); }
void* operator new[](size_t n) { return counted(malloc(n == 0 ? 1 : n)); }
void* operator new(size_t n, std::align_val_t a) {
  return counted(aligned_alloc(static_cast<size_t>(a),
                               (n + static_cast<size_t>(a) - 1) & ~(static_cast<size_t>(a) - 1)));
}
void* operator new[](size_t n, std::align_val_t a) { return operator new(n, a); }
void operator delete(void* p) noexcept { uncounted(p); }
void operator delete[](void* p) noexcept { uncounted(p); }
void operator delete(void* p, size_t) noexcept { uncounted(p); }
void operator delete[](void* p, size_t) noexcept { uncounted(p); }
void operator delete(void* p, std::align_val_t) noexcept { uncounted(p); }
void operator delete[](void* p, std::align_val_t) noexcept { uncounted(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { uncounted(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { uncounted(p); }

namespace {

using namespace ombrelia;
using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------------
// Speed of the parser and the rewriter alone.

std::string mediaPlaylist(int segments) {
  std::string text =
      "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:1000\n";
  for (int i = 0; i < segments; ++i) {
    text +=
        "#EXTINF:6.006000,\nhttps://cdn.example/live/1080p/segment_" + std::to_string(i) + ".ts\n";
  }
  return text + "#EXT-X-ENDLIST\n";
}

std::string masterPlaylist(int variants) {
  std::string text = "#EXTM3U\n#EXT-X-VERSION:6\n#EXT-X-INDEPENDENT-SEGMENTS\n";
  text +=
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aud\",NAME=\"English\",LANGUAGE=\"en\",DEFAULT=YES,"
      "URI=\"audio/en/index.m3u8\"\n";
  for (int i = 0; i < variants; ++i) {
    const int height = 144 + i * 48;
    text += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(200000 + i * 300000) +
            ",AVERAGE-BANDWIDTH=" + std::to_string(180000 + i * 280000) +
            ",CODECS=\"avc1.640028,mp4a.40.2\",RESOLUTION=" + std::to_string(height * 16 / 9) +
            "x" + std::to_string(height) + ",FRAME-RATE=29.970,AUDIO=\"aud\"\nvideo/" +
            std::to_string(height) + "p/index.m3u8\n";
  }
  return text;
}

constexpr const char* kBase = "https://cdn.example/live/index.m3u8";

// CPU time of this thread: other work on a shared machine does not inflate it.
double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs `work` until about half a second has passed, so that small playlists are measured
// reliably; `work` returns false when it failed.
template <typename Work>
void measure(const char* name, const std::string& text, Work work) {
  size_t iterations = 0;
  const double cpuStart = threadSeconds();
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = std::chrono::steady_clock::duration::zero();
  do {
    if (!work()) return;
    ++iterations;
    elapsed = std::chrono::steady_clock::now() - start;
  } while (elapsed < std::chrono::milliseconds(500));
  const double cpu = threadSeconds() - cpuStart;
  const double wall = std::chrono::duration<double>(elapsed).count();
  const double megabytes = static_cast<double>(text.size()) * static_cast<double>(iterations) / 1e6;
  std::printf("%-24s %8zu bytes  %7.3f ms/run    %7.1f MB/s (CPU time)  %7.1f MB/s (wall)\n", name,
              text.size(), cpu * 1e3 / static_cast<double>(iterations), megabytes / cpu,
              megabytes / wall);
}

void measureParse(const char* name, const std::string& text, PlaylistType type) {
  const PlaylistParser::Params params{text, type, *Url::parse(kBase)};
  measure(name, text, [&] {
    auto outcome = PlaylistParser().parse(params);
    if (!outcome)
      std::printf("%s: parse failed: %s\n", name, outcome.error().errorDescription().c_str());
    return static_cast<bool>(outcome);
  });
}

void measureRewrite(const char* name, const std::string& text) {
  const Url base = *Url::parse(kBase);
  const PlaylistRewriter rewriter(8080);
  size_t written = 0;
  measure(name, text, [&] {
    const auto rewritten = rewriter.rewrite(text, base);
    if (!rewritten) std::printf("%s: refused as too large\n", name);
    written += rewritten ? rewritten->size() : 0;
    return rewritten.has_value();
  });
  if (written == 0) std::printf("%s: nothing written\n", name);
}

// ---------------------------------------------------------------------------------------------
// The shapes, through the example application.

// One resource of the local origin.
struct Resource {
  int status = 200;
  Data body;
  std::string location;  // for a redirect
};

// An origin on 127.0.0.1 that answers every path from a table, long paths included.
class Origin {
 public:
  Origin() : server_(WebServer::create()) {
    server_->addDefaultHandlerForMethod(
        "GET", WebServerRequestClass<WebServerRequest>(),
        [this](const std::shared_ptr<WebServerRequest>& request)
            -> std::shared_ptr<WebServerResponse> {
          std::lock_guard lock(mutex_);
          const auto found = resources_.find(request->path());
          if (found == resources_.end()) return WebServerResponse::responseWithStatusCode(404);
          if (found->second.status != 200) {
            auto response = WebServerResponse::responseWithStatusCode(found->second.status);
            response->setValueForAdditionalHeader("Location", found->second.location);
            return response;
          }
          return WebServerDataResponse::responseWithData(found->second.body,
                                                         "application/vnd.apple.mpegurl");
        });
    WebServerOptions options;
    options.bindToLocalhost = true;
    options.maxPendingConnections = 64;
    server_->startWithOptions(options);
  }
  ~Origin() { server_->stop(); }

  void clear() {
    std::lock_guard lock(mutex_);
    resources_.clear();
  }
  void serve(const std::string& path, std::string body) {
    std::lock_guard lock(mutex_);
    resources_[path] = Resource{200, Data(std::move(body)), {}};
  }
  void redirect(const std::string& path, const std::string& to) {
    std::lock_guard lock(mutex_);
    resources_[path] = Resource{302, Data(), url(to)};
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server_->port()) + path;
  }

 private:
  std::shared_ptr<WebServer> server_;
  std::mutex mutex_;
  std::map<std::string, Resource> resources_;
};

// A shape: what the origin serves, the master playlist the viewer is given, and how the players
// find the playlist they ask for.
struct Shape {
  std::string name;
  std::string masterPath;
  std::map<std::string, std::string> bodies;
  std::map<std::string, std::string> redirects;
  bool pinned = false;       // the viewer pins a variant (its default level) rather than --whole
  bool askMaster = false;    // the players ask for the master itself, else its first variant
  std::string measuredPath;  // the playlist asked for, where its figures are taken from
  std::string urlPath;       // the URL its URIs resolve against (after redirects)
};

std::string repeat(const std::string& piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

std::string segments(size_t count, const std::function<std::string(size_t)>& uri) {
  std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:0\n";
  for (size_t i = 0; i < count; ++i) text += "#EXTINF:6,\n" + uri(i) + "\n";
  return text + "#EXT-X-ENDLIST\n";
}

std::string signedQuery(size_t length) {
  std::string query = "Policy=";
  const std::string filler = "eyJTdGF0ZW1lbnQiOlt7-_~";
  while (query.size() + 40 < length) query += filler[query.size() % filler.size()];
  return query + "&Signature=Nw2-cL~qx9_Zk0&Key-Pair-Id=APKA";
}

// `count` distinct attributes, A0000000 upwards, each with `value`, separated by commas.
std::string manyAttributes(size_t count, const std::string& value) {
  std::string text;
  text.reserve(count * (value.size() + 10));
  char name[32];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "A%07zu=", i);
    if (i > 0) text.push_back(',');
    text.append(name);
    text.append(value);
  }
  return text;
}

const std::string kLongDir40 = "/" + std::string(40000, 'p') + "/";
const std::string kLongDir60 = "/" + std::string(60000, 'r') + "/";

// A master naming one variant at `variant`, served from `at` (a redirect when `redirectTo`).
Shape mediaShape(std::string name, const std::string& variantPath, std::string media,
                 std::optional<std::string> redirectTo = std::nullopt) {
  Shape shape;
  shape.name = std::move(name);
  shape.masterPath = "/master.m3u8";
  shape.bodies[shape.masterPath] =
      "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\n" + variantPath + "\n";
  if (redirectTo) {
    shape.redirects[variantPath] = *redirectTo;
    shape.bodies[*redirectTo] = std::move(media);
    shape.measuredPath = *redirectTo;
  } else {
    shape.bodies[variantPath] = std::move(media);
    shape.measuredPath = variantPath;
  }
  shape.urlPath = shape.measuredPath;
  return shape;
}

// A master the players ask for themselves, pinned to one variant.
Shape pinnedMaster(std::string name, std::string master) {
  Shape shape;
  shape.name = std::move(name);
  shape.masterPath = "/master.m3u8";
  shape.bodies[shape.masterPath] = std::move(master);
  shape.askMaster = true;
  shape.pinned = true;
  shape.measuredPath = shape.masterPath;
  shape.urlPath = shape.masterPath;
  return shape;
}

std::vector<Shape> shapes() {
  std::vector<Shape> all;
  auto shortSegment = [](size_t i) { return "s" + std::to_string(i) + ".ts"; };
  all.push_back(
      mediaShape("plain: 10,000 segments, short URL", "/v/m.m3u8", segments(10000, shortSegment)));
  all.push_back(mediaShape("real: 10,000 segments, 2 KB queries", "/v/m.m3u8",
                           segments(10000, [q = signedQuery(2000)](size_t i) {
                             return "s" + std::to_string(i) + ".ts?" + q;
                           })));
  all.push_back(mediaShape("real: 16,000 segments, 2 KB queries", "/v/m.m3u8",
                           segments(16000, [q = signedQuery(2000)](size_t i) {
                             return "s" + std::to_string(i) + ".ts?" + q;
                           })));
  all.push_back(mediaShape("262,140 segments, 524,285 lines", "/v/m.m3u8",
                           segments(262140, [](size_t) { return std::string("x.ts"); })));
  all.push_back(mediaShape("2,000 segments, 40 KB path", kLongDir40 + "m.m3u8",
                           segments(2000, shortSegment)));
  all.push_back(mediaShape("25,000 segments, 40 KB path", kLongDir40 + "m.m3u8",
                           segments(25000, shortSegment)));
  all.push_back(mediaShape("60,000 segments, 40 KB path", kLongDir40 + "m.m3u8",
                           segments(60000, shortSegment)));
  all.push_back(mediaShape("10,000 segments, redirect to 60 KB", "/v/m.m3u8",
                           segments(10000, shortSegment), kLongDir60 + "m.m3u8"));
  all.push_back(mediaShape("100,000 s.ts, redirect to 60 KB", "/v/m.m3u8",
                           segments(100000, [](size_t) { return std::string("s.ts"); }),
                           kLongDir60 + "m.m3u8"));
  all.push_back(mediaShape("20,000 @ URIs, 40 KB path", kLongDir40 + "m.m3u8",
                           segments(20000, [](size_t) { return std::string("//u:1\\@h/x"); })));
  all.push_back(mediaShape("100,000 @ URIs, 40 KB path", kLongDir40 + "m.m3u8",
                           segments(100000, [](size_t) { return std::string("//u:1\\@h/x"); })));
  {
    Shape shape;
    shape.name = "10,000 variants, redirect to 60 KB";
    shape.masterPath = "/master.m3u8";
    std::string master = "#EXTM3U\n";
    for (int i = 0; i < 10000; ++i) {
      master += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(100000 + i) +
                ",RESOLUTION=" + std::to_string(640 + i) + "x360\nv" + std::to_string(i) +
                ".m3u8\n";
    }
    shape.redirects[shape.masterPath] = kLongDir60 + "master.m3u8";
    shape.bodies[kLongDir60 + "master.m3u8"] = std::move(master);
    shape.askMaster = true;
    shape.pinned = true;
    shape.measuredPath = kLongDir60 + "master.m3u8";
    shape.urlPath = shape.measuredPath;
    all.push_back(std::move(shape));
  }
  all.push_back(pinnedMaster(
      "131,072 variants, 524,288 lines, pinned",
      "#EXTM3U\n" +
          repeat("#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=640x360\nv.m3u8\n\n\n", 131071) +
          "#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=640x360\nv.m3u8\n"));
  // Every line a variant's tag, none with a URI: the pinner reads each as a variant.
  all.push_back(pinnedMaster(
      "524,287 variant tags, pinned",
      "#EXTM3U\n" + repeat("#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=640x360\n", 524287)));
  {
    // Each variant's RESOLUTION a kilobyte of text: the store and the pinner keep a copy each.
    std::string master = "#EXTM3U\n";
    for (int i = 0; i < 20000; ++i) {
      master += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(100000 + i) +
                ",RESOLUTION=" + std::string(1000, '1') + std::to_string(i) + "x360\nv" +
                std::to_string(i) + ".m3u8\n";
    }
    all.push_back(pinnedMaster("20,000 variants, 1 KB resolutions, pinned", std::move(master)));
  }
  // Attribute lists an origin can make huge, at the size the store keeps at most: one variant
  // line of 4.4 million distinct short attributes, or of quoted values, or one value of 48 MB
  // (which the store keeps twice, and cleans of CR LF line ends first); and 1,000 variant lines
  // of 4,400 attributes each.
  const auto variantOf = [](const std::string& attributes) {
    return "#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=640x360," + attributes + "\nv.m3u8\n";
  };
  all.push_back(pinnedMaster("4.4M attributes on one line, pinned",
                             "#EXTM3U\n" + variantOf(manyAttributes(4400000, "1"))));
  all.push_back(pinnedMaster("3.7M quoted values on one line, pinned",
                             "#EXTM3U\n" + variantOf(manyAttributes(3700000, "\"x\""))));
  all.push_back(pinnedMaster("one 48 MB resolution, pinned",
                             "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=" +
                                 std::string(48000000, '1') + "x360\nv.m3u8\n"));
  all.push_back(pinnedMaster("one 48 MB resolution, CR LF, pinned",
                             "#EXTM3U\r\n#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=" +
                                 std::string(48000000, '1') + "x360\r\nv.m3u8\r\n"));
  all.push_back(pinnedMaster("1,000 lines of 4,400 attributes, pinned",
                             "#EXTM3U\n" + repeat(variantOf(manyAttributes(4400, "1")), 1000)));
  return all;
}

// ---------------------------------------------------------------------------------------------
// The viewer: one ombrelia-host serve in a child process.

struct ProcFigures {
  size_t rss = 0;
  size_t hwm = 0;
  double cpu = 0;
};

ProcFigures figuresOf(pid_t pid) {
  ProcFigures figures;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) figures.rss = std::stoull(line.substr(6)) * 1024;
    if (line.starts_with("VmHWM:")) figures.hwm = std::stoull(line.substr(6)) * 1024;
  }
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (std::getline(stat, text)) {
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i >= 14) ticks += std::stod(field);
    }
    figures.cpu = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return figures;
}

// The most address space the viewer may take (--address-space, GiB): a viewer that would take
// more ends with std::bad_alloc (reported as such) rather than take the machine's memory.
rlim_t viewerAddressSpace = rlim_t{8} << 30;

class Viewer {
 public:
  Viewer(const std::string& host, const std::string& masterUrl, bool pinned) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      const rlimit limit{viewerAddressSpace, viewerAddressSpace};
      setrlimit(RLIMIT_AS, &limit);
      dup2(out[1], STDOUT_FILENO);
      const int null = ::open("/dev/null", O_WRONLY);
      dup2(null, STDERR_FILENO);
      close(out[0]);
      std::vector<std::string> args = {host, "serve", masterUrl, "--port", "0", "--log-level", "1"};
      if (!pinned) args.push_back("--whole");
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(host.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    reader_ = std::thread([this, fd = out[0]] {
      std::string pending;
      char buffer[65536];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
          std::lock_guard lock(mutex_);
          if (!firstLine_) {
            firstLine_ = pending.substr(0, end);
          } else {
            ++logLines_;
          }
          pending.erase(0, end + 1);
        }
      }
      close(fd);
    });
  }

  ~Viewer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
  }

  std::optional<std::string> localUrl(std::chrono::seconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline && alive()) {
      {
        std::lock_guard lock(mutex_);
        if (firstLine_) return firstLine_;
      }
      std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
  }

  bool alive() {
    if (pid_ <= 0 || exited_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      exitStatus_ = status;
      return false;
    }
    return true;
  }
  std::string howItEnded() const {
    if (!exited_) return "";
    if (WIFSIGNALED(exitStatus_))
      return "killed by signal " + std::to_string(WTERMSIG(exitStatus_));
    return "exited " + std::to_string(WEXITSTATUS(exitStatus_));
  }

  pid_t pid() const { return pid_; }
  size_t logLines() {
    std::lock_guard lock(mutex_);
    return logLines_;
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int exitStatus_ = 0;
  std::thread reader_;
  std::mutex mutex_;
  std::optional<std::string> firstLine_;
  size_t logLines_ = 0;
};

size_t keepBody(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

struct Answer {
  long status = 0;
  std::string body;
};

Answer fetch(const std::string& url, std::chrono::seconds timeout) {
  Answer answer;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, keepBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeout.count()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (curl_easy_perform(curl) == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  }
  curl_easy_cleanup(curl);
  return answer;
}

std::string firstLocalUrl(const std::string& playlist) {
  std::istringstream lines(playlist);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("http://127.0.0.1:")) return line;
  }
  return "";
}

// ---------------------------------------------------------------------------------------------
// Each stage alone (--stages), and the bound the viewer's playlist memory keeps within.

struct HeapFigures {
  size_t peak = 0;  // the most it held at once above what was held before
  size_t held = 0;  // what it still holds once done
};

template <typename Stage>
HeapFigures heapOf(Stage stage) {
  const size_t before = heapLive.load();
  heapPeak.store(before);
  stage();
  return {heapPeak.load() - before, heapLive.load() - before};
}

double mb(size_t bytes) { return static_cast<double>(bytes) / 1e6; }

constexpr const char* kStageOrigin = "http://127.0.0.1:34567";

// What each stage of one playlist's work holds at its peak, measured in this process, beside
// what the playlist work budget counts for it.
struct Stages {
  size_t bytes = 0;
  size_t lines = 0;
  size_t urlBytes = 0;
  HeapFigures store;
  size_t storeCounted = 0;
  size_t stored = 0;  // what the store keeps of it, its text included; 0 when it is not kept
  HeapFigures pin;
  size_t pinCounted = 0;
  size_t pinned = 0;  // the pinned text, when pinning made one
  HeapFigures rewrite;
  size_t rewriteCounted = 0;
  size_t out = 0;

  // The most the budget lets this playlist's work hold when it is the oldest: its body and
  // the store's reading, or its body and the pinning, or the pinned text and the rewriting
  // (the rewritten text, held until written, is counted within the rewriting's share).
  size_t need() const {
    return std::max(
        {bytes + storeCounted, bytes + pinCounted, (pinned > 0 ? pinned : bytes) + rewriteCounted});
  }
  // The most the viewer holds for playlists however many players ask for it at once: what
  // every playlist in flight but the oldest may hold together, what the oldest needs, and what
  // the store keeps.
  size_t bound() const { return PlaylistWorkBudget::kMaxPlaylistBytesInFlight + need() + stored; }
  bool withinCounts() const {
    // A few bytes of log text are not worth a share.
    constexpr size_t kSlack = 64 << 10;
    return store.peak <= storeCounted + kSlack && pin.peak <= pinCounted + kSlack &&
           rewrite.peak <= rewriteCounted + kSlack;
  }
};

Stages stagesOf(const Shape& shape) {
  Stages stages;
  const std::string& text = shape.bodies.at(shape.measuredPath);
  const Data body(text);
  stages.bytes = text.size();
  for (char c : text) stages.lines += c == '\n';
  const Url requested = *Url::parse(kStageOrigin + shape.measuredPath);
  const Url base = *Url::parse(kStageOrigin + shape.urlPath);
  stages.urlBytes = base.toString().size();
  {
    ManifestController controller;
    // The players ask for a variant: the store reads it as a version, beside a master.
    if (!shape.askMaster) {
      controller.storeManifest(Data(shape.bodies.at(shape.masterPath)),
                               *Url::parse(kStageOrigin + shape.masterPath));
    }
    stages.store = heapOf([&] { controller.storeManifest(body, requested, base); });
    const auto versions = controller.versions();
    const bool kept = shape.askMaster ? controller.primaryManifest().has_value()
                                      : !versions.empty() && versions.back().data() == body;
    if (kept) stages.stored = stages.store.held + stages.bytes;
  }
  stages.storeCounted =
      DownloadController::storingBytes(text, requested.toString().size() + base.toString().size());
  OmbreliaConfig::shared().setCurrentLevel(shape.pinned ? std::optional<int64_t>(0) : std::nullopt);
  stages.pinCounted = HLSManifestModifier::mostHeldBytes(text);
  stages.pin = heapOf([&] { (void)HLSManifestModifier().modifyManifest(body); });
  const Data pinned = HLSManifestModifier().modifyManifest(body);
  if (pinned.view().data() != body.view().data()) stages.pinned = pinned.size();
  // As the proxy counts it: the most the text may take, or, where that may pass the bound, the
  // text's measured length (nothing when it passes and is refused).
  const PlaylistRewriter rewriter(34568);
  const size_t most = PlaylistRewriter::mostRewrittenBytes(pinned.view(), base);
  size_t rewritten = most;
  if (most > PlaylistRewriter::kMaxRewrittenBytes) {
    rewritten =
        *rewriter.rewrittenLength(pinned.view(), base, PlaylistRewriter::kMaxRewrittenBytes);
    if (rewritten > PlaylistRewriter::kMaxRewrittenBytes) rewritten = 0;
  }
  stages.rewriteCounted = rewritten + PlaylistRewriter::workingBytes(base);
  stages.rewrite = heapOf([&] {
    const auto pieces = rewriter.rewriteInPieces(pinned.view(), base);
    if (pieces) {
      for (const auto& piece : *pieces) stages.out += piece.size();
    }
  });
  return stages;
}

void runStages(const std::string& only) {
  std::printf(
      "Each stage alone: its peak heap above what it was given (MB), beside what the budget "
      "counts for it; the oldest playlist's need and the bound with 8 players at once\n");
  std::printf("%-40s %9s %7s %6s  %7s %7s %6s  %7s %7s  %7s %7s %7s  %7s %7s\n", "shape", "bytes",
              "lines", "URL", "store", "counted", "kept", "pin", "counted", "rewrite", "counted",
              "out", "need", "bound");
  for (const Shape& shape : shapes()) {
    if (!only.empty() && shape.name.find(only) == std::string::npos) continue;
    const Stages stages = stagesOf(shape);
    std::printf(
        "%-40s %9zu %7zu %6zu  %7.1f %7.1f %6.1f  %7.1f %7.1f  %7.1f %7.1f %7.1f  %7.1f %7.1f\n",
        shape.name.c_str(), stages.bytes, stages.lines, stages.urlBytes, mb(stages.store.peak),
        mb(stages.storeCounted), mb(stages.stored), mb(stages.pin.peak), mb(stages.pinCounted),
        mb(stages.rewrite.peak), mb(stages.rewriteCounted), mb(stages.out), mb(stages.need()),
        mb(stages.bound()));
    if (!stages.withinCounts()) std::printf("  ^ a stage took more than the budget counts\n");
    std::fflush(stdout);
  }
}

struct Row {
  std::string shape;
  int players = 0;
  size_t bytes = 0;
  size_t lines = 0;
  size_t uris = 0;
  size_t urlBytes = 0;
  std::string statuses;
  double peakMB = 0;
  double heldMB = 0;
  double cpu = 0;
  double wall = 0;
  size_t logLines = 0;
  double peakPerByte = 0;
  double boundMB = 0;
};

constexpr auto kShapeTimeout = 120s;

Row run(const std::string& host, Origin& origin, const Shape& shape, int players) {
  Row row;
  row.shape = shape.name;
  row.players = players;
  const std::string& text = shape.bodies.at(shape.measuredPath);
  row.bytes = text.size();
  for (char c : text) row.lines += c == '\n';
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != '#') ++row.uris;
  }
  row.urlBytes = origin.url(shape.urlPath).size();
  row.boundMB = mb(stagesOf(shape).bound());

  origin.clear();
  for (const auto& [path, body] : shape.bodies) origin.serve(path, body);
  for (const auto& [path, to] : shape.redirects) origin.redirect(path, to);

  Viewer viewer(host, origin.url(shape.masterPath), shape.pinned);
  const auto local = viewer.localUrl(10s);
  if (!local) {
    row.statuses = "no local URL " + viewer.howItEnded();
    return row;
  }
  std::string target = *local;
  if (!shape.askMaster) {
    const Answer master = fetch(*local, 30s);
    target = firstLocalUrl(master.body);
    if (target.empty()) {
      row.statuses = "master " + std::to_string(master.status) + ", no variant";
      return row;
    }
  }
  std::this_thread::sleep_for(200ms);  // the viewer settles after its first answer
  // "5" sets the peak back to what is resident now.
  std::ofstream("/proc/" + std::to_string(viewer.pid()) + "/clear_refs") << "5";
  const ProcFigures before = figuresOf(viewer.pid());
  const size_t logBefore = viewer.logLines();
  const auto start = std::chrono::steady_clock::now();
  std::vector<long> statuses(static_cast<size_t>(players));
  {
    std::vector<std::thread> threads;
    for (int p = 0; p < players; ++p) {
      threads.emplace_back([&, p] {
        statuses[static_cast<size_t>(p)] =
            fetch(target, std::chrono::duration_cast<std::chrono::seconds>(kShapeTimeout)).status;
      });
    }
    for (auto& thread : threads) thread.join();
  }
  row.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::this_thread::sleep_for(500ms);
  const ProcFigures after = figuresOf(viewer.pid());
  const bool alive = viewer.alive();
  std::map<long, int> counts;
  for (long status : statuses) ++counts[status];
  for (const auto& [status, count] : counts) {
    if (!row.statuses.empty()) row.statuses += " ";
    row.statuses += std::to_string(count) + "x" + (status == 0 ? "none" : std::to_string(status));
  }
  if (!alive) row.statuses += " (viewer " + viewer.howItEnded() + ")";
  if (alive) {
    row.peakMB = static_cast<double>(after.hwm > before.rss ? after.hwm - before.rss : 0) / 1e6;
    row.heldMB = static_cast<double>(after.rss > before.rss ? after.rss - before.rss : 0) / 1e6;
    row.cpu = after.cpu - before.cpu;
    row.peakPerByte =
        row.peakMB * 1e6 / static_cast<double>(row.bytes * static_cast<size_t>(players));
  }
  row.logLines = viewer.logLines() - logBefore;
  return row;
}

void printRow(const Row& row) {
  std::printf("%-40s %2d %10zu %7zu %7zu %6zu  %-12s %8.1f %8.1f %6.2f %6.1f %6zu %7.2f %8.1f%s\n",
              row.shape.c_str(), row.players, row.bytes, row.lines, row.uris, row.urlBytes,
              row.statuses.c_str(), row.peakMB, row.heldMB, row.cpu, row.wall, row.logLines,
              row.peakPerByte, row.boundMB, row.peakMB > row.boundMB ? "  past its bound" : "");
  std::fflush(stdout);
}

std::vector<int> parsePlayers(const std::string& text) {
  std::vector<int> players;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) players.push_back(std::stoi(item));
  return players;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--stages") == 0) countingHeap = true;
  }
  std::string host = "build/release/examples/ombrelia-host";
  std::string only;
  std::vector<int> players = {1, 8};
  bool speed = true;
  bool stagesOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--host" && i + 1 < argc) {
      host = argv[++i];
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (arg == "--players" && i + 1 < argc) {
      players = parsePlayers(argv[++i]);
    } else if (arg == "--address-space" && i + 1 < argc) {
      viewerAddressSpace = static_cast<rlim_t>(std::stoul(argv[++i])) << 30;
    } else if (arg == "--skip-speed") {
      speed = false;
    } else if (arg == "--stages") {
      stagesOnly = true;
    } else {
      std::fprintf(stderr,
                   "usage: bench_playlist [--host PATH] [--only TEXT] [--players N,N] "
                   "[--address-space GIB] [--skip-speed] [--stages]\n");
      return 2;
    }
  }
  OmbreliaConfig::configure("bench");
  if (stagesOnly) {
    runStages(only);
    return 0;
  }
  if (speed) {
    const std::string media = mediaPlaylist(10000);
    const std::string master = masterPlaylist(20);
    measureParse("media, 10000 segments", media, PlaylistType::video);
    measureParse("master, 20 variants", master, PlaylistType::master);
    const std::string attributes =
        "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1," + manyAttributes(440000, "1") + "\nv.m3u8\n";
    measureParse("master, 440k attributes", attributes, PlaylistType::master);
    measureRewrite("rewrite media", media);
    measureRewrite("rewrite master", master);
    std::printf("\n");
  }

  curl_global_init(CURL_GLOBAL_DEFAULT);
  signal(SIGPIPE, SIG_IGN);
  std::printf("viewer: %s serve (address space capped at %llu GiB)\n", host.c_str(),
              static_cast<unsigned long long>(viewerAddressSpace >> 30));
  std::printf("%-40s %2s %10s %7s %7s %6s  %-12s %8s %8s %6s %6s %6s %7s %8s\n", "shape", "n",
              "bytes", "lines", "URIs", "URL", "answers", "peak MB", "held MB", "CPU s", "wall s",
              "log", "peak/B", "bound MB");
  Origin origin;
  double worst = 0;
  std::string worstShape;
  for (const Shape& shape : shapes()) {
    if (!only.empty() && shape.name.find(only) == std::string::npos) continue;
    for (int n : players) {
      const Row row = run(host, origin, shape, n);
      printRow(row);
      if (row.peakPerByte > worst) {
        worst = row.peakPerByte;
        worstShape = row.shape + " x" + std::to_string(row.players);
      }
    }
  }
  std::printf("\nworst peak per playlist byte asked for: %.2f (%s)\n", worst, worstShape.c_str());
  curl_global_cleanup();
  return 0;
}
