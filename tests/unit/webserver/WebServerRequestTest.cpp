#include "webserver/requests/WebServerRequest.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <random>

#include "support/GzipCodec.hpp"
#include "webserver/requests/WebServerDataRequest.hpp"
#include "webserver/requests/WebServerFileRequest.hpp"
#include "webserver/requests/WebServerURLEncodedFormRequest.hpp"

using namespace ombrelia;
using ombrelia::test::GzipCodec;

namespace {

WebServerRequestInfo makeInfo(WebServerHeaders headers, std::string method = "POST",
                              uint64_t maxBodyBytes = kWebServerDefaultMaxBodyBytes) {
  WebServerRequestInfo info;
  info.method = std::move(method);
  info.url = *Url::parse("/upload?x=1");
  info.headers = std::move(headers);
  info.path = "/upload";
  info.query = {{"x", "1"}};
  info.maxBodyBytes = maxBodyBytes;
  return info;
}

// Feeds the body through the request's steps in pieces of `pieceSize` bytes.
WebServerResult feed(WebServerRequest &request, std::string_view body, size_t pieceSize) {
  request.prepareForWriting();
  if (auto opened = request.performOpen(); !opened)
    return opened;
  for (size_t offset = 0; offset < body.size(); offset += pieceSize) {
    const std::string_view piece = body.substr(offset, pieceSize);
    auto written =
        request.performWriteData(reinterpret_cast<const uint8_t *>(piece.data()), piece.size());
    if (!written)
      return written;
  }
  return request.performClose();
}

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  // Half random, half repeated text: compressible but not trivially so.
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = (i / 4096) % 2 == 0 ? static_cast<char>(generator()) : "segment"[i % 7];
  }
  return bytes;
}

} // namespace

TEST(WebServerRequestHeaders, RefusesBadLengthsWith400AndOversizedOnesWith413) {
  for (const char *bad : {"12abc", "-1", "+5", "", "99999999999999999999", "5, 6"}) {
    WebServerRequest request(makeInfo({{"Content-Length", bad}}));
    EXPECT_EQ(request.refusal(), WebServerRequestRefusal::invalidContentLength) << bad;
    EXPECT_EQ(WebServerStatusCodeForRefusal(request.refusal()), 400);
  }
  WebServerRequest both(makeInfo({{"Content-Length", "3"}, {"Transfer-Encoding", "chunked"}}));
  EXPECT_EQ(both.refusal(), WebServerRequestRefusal::invalidContentLength);

  WebServerRequest largest(makeInfo({{"Content-Length", "9223372036854775807"}}));
  EXPECT_EQ(largest.refusal(), WebServerRequestRefusal::bodyTooLarge);
  EXPECT_EQ(WebServerStatusCodeForRefusal(largest.refusal()), 413);

  WebServerRequest capped(makeInfo({{"Content-Length", "101"}}, "POST", 100));
  EXPECT_EQ(capped.refusal(), WebServerRequestRefusal::bodyTooLarge);
  WebServerRequest atCap(makeInfo({{"Content-Length", "100"}}, "POST", 100));
  EXPECT_TRUE(atCap.isValid());

  WebServerRequest unknownCoding(makeInfo({{"Transfer-Encoding", "gzip, chunked"}}));
  EXPECT_EQ(WebServerStatusCodeForRefusal(unknownCoding.refusal()), 501);
}

TEST(WebServerRequestHeaders, ParsesTheRangeTable) {
  struct Case {
    const char *header;
    std::optional<WebServerByteRange> expected;
  };
  const Case cases[] = {
      {"bytes=500-999", WebServerByteRange{500, 500}},
      {"bytes=9500-", WebServerByteRange{9500, kWebServerToEnd}},
      {"bytes=-500", WebServerByteRange{kWebServerNoLocation, 500}},
      {"bytes=5-3", std::nullopt},
      {"bytes=-0", std::nullopt},
      {"bytes=1-2,4-5", std::nullopt},
      {"bytes=99999999999999999999-", std::nullopt},
  };
  for (const Case &c : cases) {
    WebServerRequest request(makeInfo({{"Range", c.header}}, "GET"));
    if (c.expected) {
      EXPECT_TRUE(request.hasByteRange()) << c.header;
      EXPECT_EQ(request.byteRange(), *c.expected) << c.header;
    } else {
      EXPECT_FALSE(request.hasByteRange()) << c.header;
    }
  }
}

TEST(WebServerDataRequestBody, KeepsTheBodyAndReservesLittleForAnAnnouncedLength) {
  // A client announcing the cap costs nothing up front; the body only fails when bytes exceed it.
  WebServerDataRequest huge(makeInfo({{"Content-Length", "67108864"}}));
  huge.prepareForWriting();
  ASSERT_TRUE(huge.performOpen());
  const std::string piece(1000, 'x');
  EXPECT_TRUE(huge.performWriteData(reinterpret_cast<const uint8_t *>(piece.data()), piece.size()));
  EXPECT_TRUE(huge.performClose());
}

TEST(WebServerDataRequestBody, RefusesBytesBeyondTheCap) {
  WebServerDataRequest request(makeInfo({{"Transfer-Encoding", "chunked"}}, "POST", 10));
  const auto result = feed(request, std::string(11, 'x'), 4);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, kWebServerErrorBodyTooLarge);
}

TEST(WebServerGZipDecoding, DecodesBodiesSplitAcrossManyWrites) {
  struct Case {
    size_t size;
    size_t pieceSize;
    const char *coding;
  };
  for (const Case &c : {Case{40000, 7, "gzip"}, Case{5 * 1024 * 1024, 65536, "GZIP"}}) {
    const std::string original = randomBytes(c.size, static_cast<unsigned>(c.pieceSize));
    const std::string coded = GzipCodec::compress(original);
    // The announced length, when there is one, is the coded length.
    const bool chunked = c.size > 40000;
    WebServerDataRequest request(makeInfo(
        {{"Content-Encoding", c.coding},
         chunked ? WebServerHeaders::value_type{"Transfer-Encoding", "chunked"}
                 : WebServerHeaders::value_type{"Content-Length", std::to_string(coded.size())}}));
    ASSERT_TRUE(feed(request, coded, c.pieceSize)) << c.size << "/" << c.pieceSize;
    EXPECT_TRUE(request.data().view() == original) << c.size << "/" << c.pieceSize;
  }
}

TEST(WebServerGZipDecoding, FailsOnDataThatIsNotGzipOnTruncationAndOnTrailingBytes) {
  WebServerDataRequest notGzip(makeInfo({{"Content-Encoding", "gzip"}, {"Content-Length", "11"}}));
  notGzip.prepareForWriting();
  ASSERT_TRUE(notGzip.performOpen());
  const std::string text = "plain text!";
  auto written =
      notGzip.performWriteData(reinterpret_cast<const uint8_t *>(text.data()), text.size());
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().domain, "ZlibErrorDomain");
  EXPECT_EQ(written.error().code, -3); // Z_DATA_ERROR

  const std::string coded = GzipCodec::compress(randomBytes(50000, 3));
  WebServerDataRequest truncated(
      makeInfo({{"Content-Encoding", "gzip"}, {"Transfer-Encoding", "chunked"}}));
  EXPECT_FALSE(feed(truncated, std::string_view(coded).substr(0, coded.size() - 10), 1000));

  WebServerDataRequest trailing(
      makeInfo({{"Content-Encoding", "gzip"}, {"Transfer-Encoding", "chunked"}}));
  EXPECT_FALSE(feed(trailing, coded + "junk", 1000));
}

TEST(WebServerGZipDecoding, StopsAGzipBombAtTheBodyCap) {
  // 64 MiB of zeros compress to about 64 KiB; the cap is 1 MiB.
  const std::string coded = GzipCodec::compress(std::string(64 * 1024 * 1024, '\0'));
  WebServerDataRequest request(makeInfo(
      {{"Content-Encoding", "gzip"}, {"Transfer-Encoding", "chunked"}}, "POST", 1024 * 1024));
  const auto result = feed(request, coded, coded.size());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, kWebServerErrorBodyTooLarge);
}

TEST(WebServerFileRequestBody, WritesAPrivateTemporaryFileDeletedWithTheRequest) {
  std::string path;
  {
    WebServerFileRequest request(makeInfo({{"Content-Length", "5"}}));
    ASSERT_TRUE(feed(request, "abcde", 2));
    path = request.temporaryPath();
    ASSERT_FALSE(path.empty());
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::ifstream in(path);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "abcde");
  }
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST(WebServerFileRequestBody, DeletesTheFileOfAnUnfinishedBody) {
  std::string path;
  {
    WebServerFileRequest request(makeInfo({{"Content-Length", "100"}}));
    request.prepareForWriting();
    ASSERT_TRUE(request.performOpen());
    path = request.temporaryPath();
    const std::string piece = "partial";
    ASSERT_TRUE(
        request.performWriteData(reinterpret_cast<const uint8_t *>(piece.data()), piece.size()));
  }
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}
