// An origin that wants a user name and password on every request, played by ffmpeg through the
// example host application, with URIs written as browsers take them and RFC 3986 does not.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include <unistd.h>

#include "support/ChildProcess.hpp"
#include "support/HostProgram.hpp"
#include "support/ProxyFixture.hpp"
#include "support/SampleStream.hpp"
#include "support/StreamOrigin.hpp"

namespace ombrelia::test {
namespace {

// "user" and "pa@ss", as the origin wants them.
const std::string kAuthorization = "Basic dXNlcjpwYUBzcw==";
const std::string kCredentials = "user:pa%40ss@";

std::string credentialedMd5Of(const std::string& url) {
  const auto r = ChildProcess::run({"ffmpeg", "-v", "error", "-nostdin", "-i", url, "-map", "0",
                                    "-c", "copy", "-f", "md5", "-"});
  EXPECT_EQ(r.exitCode, 0) << url << "\n" << r.output;
  return r.output;
}

// Every sign of the credentials a player could read in `text`, escaped once or not at all.
bool showsCredentials(const std::string& text) {
  return text.find("user") != std::string::npos || text.find("pa%40ss") != std::string::npos ||
         text.find("pa%2540ss") != std::string::npos || text.find("pa@ss") != std::string::npos;
}

TEST(CredentialedOrigin, FfmpegPlaysOddlyWrittenUrisAndTheOriginGetsItsCredentialsOnEveryRequest) {
  const std::filesystem::path from = SampleStream::folder("aes") + "/v0";
  const auto root = std::filesystem::temp_directory_path() /
                    ("ombrelia-credentialed-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root / "c");
  for (int n = 0; n < 4; ++n) {
    const std::string name = "seg" + std::to_string(n) + ".ts";
    std::filesystem::copy_file(from / name, root / "c" / name);
  }
  std::filesystem::copy_file(from / "enc.key", root / "c" / "key.bin");
  {
    StreamOrigin origin(root.string(),
                        StreamOrigin::Settings{.requiredAuthorization = kAuthorization});
    ASSERT_TRUE(origin.running());
    const std::string withCredentials =
        "http://" + kCredentials + "127.0.0.1:" + std::to_string(origin.port());
    // Each segment in a shape of its own: a "%" that starts no escape, "{", "}" and "|", "`", a
    // "\\" in the query, and an absolute URI that repeats the credentials; the key with "{}".
    const std::map<std::string, std::string> shapes = {
        {"seg0.ts", "seg0.ts?t=%"},
        {"seg1.ts", "seg1.ts?v={1}|2"},
        {"seg2.ts", "seg2.ts?x=`y`"},
        {"seg3.ts", withCredentials + "/c/seg3.ts?a\\b={1}"},
    };
    std::ifstream in(from / "index.m3u8");
    std::ofstream out(root / "c" / "media.m3u8");
    size_t rewritten = 0;
    for (std::string line; std::getline(in, line);) {
      if (auto shape = shapes.find(line); shape != shapes.end()) {
        line = shape->second;
        ++rewritten;
      }
      line = std::regex_replace(line, std::regex("URI=\"enc\\.key\""), "URI=\"key.bin?v={1}\"");
      out << line << "\n";
    }
    out.close();
    ASSERT_EQ(rewritten, shapes.size());

    // The application hands over what a browser takes: "{" in the playlist's own query.
    ChildProcess serve({kHost, "serve", withCredentials + "/c/media.m3u8?q={1}", "--port", "0"},
                       ChildProcess::Settings{.captureStdout = true, .discardStderr = true});
    const auto local = serve.readLine(std::chrono::seconds(10));
    ASSERT_TRUE(local && local->starts_with("http://127.0.0.1:")) << local.value_or("no URL line");
    EXPECT_FALSE(showsCredentials(*local)) << *local;
    const Fetched playlist = fetchWithCurl(*local);
    EXPECT_EQ(playlist.status, 200);
    EXPECT_FALSE(showsCredentials(playlist.body)) << playlist.body;

    // The same media as the stream it was copied from, served plainly.
    StreamOrigin plain(SampleStream::folder("aes"));
    EXPECT_EQ(credentialedMd5Of(*local), credentialedMd5Of(plain.url("/v0/index.m3u8")));
    EXPECT_EQ(serve.stop(SIGTERM, std::chrono::seconds(10)), 0);

    const auto log = origin.accessLog();
    for (const std::string request :
         {"GET /c/media.m3u8?q={1} ", "GET /c/seg0.ts?t=% ", "GET /c/seg1.ts?v={1}|2 ",
          "GET /c/seg2.ts?x=`y` ", "GET /c/seg3.ts?a\\x5Cb={1} ", "GET /c/key.bin?v={1} "}) {
      const bool asked = std::any_of(log.begin(), log.end(), [&](const std::string& line) {
        return line.find(request) != std::string::npos;
      });
      EXPECT_TRUE(asked) << "the origin was never asked \"" << request << "\"";
    }
    for (const auto& line : log) {
      EXPECT_EQ(line.find("\" 401 "), std::string::npos) << "without its credentials: " << line;
    }
  }
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace ombrelia::test
