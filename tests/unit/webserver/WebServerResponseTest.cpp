#include "webserver/responses/WebServerResponse.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>

#include "platform/DispatchQueue.hpp"
#include "support/GzipCodec.hpp"
#include "webserver/requests/WebServerFileRequest.hpp"
#include "webserver/responses/WebServerDataResponse.hpp"
#include "webserver/responses/WebServerErrorResponse.hpp"
#include "webserver/responses/WebServerFileResponse.hpp"
#include "webserver/responses/WebServerStreamedResponse.hpp"

using namespace ombrelia;
using ombrelia::test::GzipCodec;

namespace {

struct Body {
  bool ok = true;
  std::string bytes;
  size_t reads = 0;
  WebServerError error;
};

// Reads a response the way the connection does, with reads that complete synchronously.
Body readAll(WebServerResponse &response) {
  Body body;
  response.prepareForReading();
  if (auto opened = response.performOpen(); !opened) {
    body.ok = false;
    body.error = opened.error();
    return body;
  }
  for (;;) {
    std::optional<WebServerReadResult> result;
    response.performReadData([&](WebServerReadResult r) { result = std::move(r); });
    if (!result) {
      body.ok = false;
      break;
    }
    if (!result->ok) {
      body.ok = false;
      body.error = result->error;
      break;
    }
    if (result->data.empty())
      break;
    ++body.reads;
    body.bytes.append(result->data.view());
  }
  response.performClose();
  return body;
}

class TemporaryFile {
public:
  explicit TemporaryFile(const std::string &content, const std::string &suffix = ".ts") {
    path_ = WebServerFileRequest::temporaryDirectory() + "/response-test-" +
            std::to_string(::getpid()) + "-" + std::to_string(counter_++) + suffix;
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TemporaryFile() { ::unlink(path_.c_str()); }
  const std::string &path() const { return path_; }

private:
  static inline int counter_ = 0;
  std::string path_;
};

std::string sample(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

} // namespace

TEST(WebServerResponseBasics, RefusesHeadersThatCouldInjectOthers) {
  WebServerResponse response;
  EXPECT_FALSE(response.setValueForAdditionalHeader("X-A", "1\r\nSet-Cookie: evil=1"));
  EXPECT_FALSE(response.setValueForAdditionalHeader("X-A", std::string("1\0", 2)));
  EXPECT_FALSE(response.setValueForAdditionalHeader("X-A\r\nB", "1"));
  EXPECT_TRUE(response.additionalHeaders().empty());
}

TEST(WebServerGZipEncoding, CompressesAFileReadInManyPieces) {
  // Zeros compress so well that deflate produces nothing for many reads in a row.
  TemporaryFile file(std::string(5 * 1024 * 1024, '\0'));
  auto response = WebServerFileResponse::responseWithFile(file.path());
  ASSERT_NE(response, nullptr);
  response->setGZipContentEncodingEnabled(true);
  const Body body = readAll(*response);
  ASSERT_TRUE(body.ok);
  EXPECT_EQ(GzipCodec::decompress(body.bytes), std::string(5 * 1024 * 1024, '\0'));
}

// Reads a gzip-coded body whose reads may complete later on another thread; absent when a read
// failed or was not answered in time.
std::optional<std::string> readAllWaiting(WebServerResponse& response) {
  response.prepareForReading();
  if (!response.performOpen()) return std::nullopt;
  std::string coded;
  for (;;) {
    // Shared, so that an answer coming after the wait gave up still has somewhere to go.
    struct Read {
      std::mutex mutex;
      std::condition_variable answered;
      std::optional<WebServerReadResult> result;
    };
    auto read = std::make_shared<Read>();
    response.performReadData([read](WebServerReadResult r) {
      std::lock_guard lock(read->mutex);
      read->result = std::move(r);
      read->answered.notify_all();
    });
    std::unique_lock lock(read->mutex);
    if (!read->answered.wait_for(lock, std::chrono::seconds(60),
                                 [&] { return read->result.has_value(); }))
      return std::nullopt;
    const WebServerReadResult piece = std::move(*read->result);
    if (!piece.ok) return std::nullopt;
    if (piece.data.empty()) break;
    coded.append(piece.data.view());
  }
  response.performClose();
  return coded;
}

TEST(WebServerGZipEncoding, CompressesOneHundredThousandOneBytePieces) {
  // One-byte pieces of a repeating text: deflate turns them into matches and says nothing until
  // the end. Every such piece used to cost a stack frame, and 20,000 of them crashed.
  constexpr size_t kPieces = 100000;
  const auto letter = [](size_t i) { return static_cast<char>('a' + i % 3); };
  std::string text(kPieces, '\0');
  for (size_t i = 0; i < kPieces; ++i) text[i] = letter(i);
  const auto pieceOf = [letter](size_t count) {
    return [letter, count](size_t i) {
      return i < count ? WebServerReadResult::success(Data(std::string(1, letter(i))))
                       : WebServerReadResult::end();
    };
  };
  const auto piece = pieceOf(kPieces);

  auto next = std::make_shared<size_t>(0);
  auto atOnce = WebServerStreamedResponse::responseWithContentType(
      "text/plain", [piece, next] { return piece((*next)++); });
  atOnce->setGZipContentEncodingEnabled(true);
  const auto coded = readAllWaiting(*atOnce);
  ASSERT_TRUE(coded) << "pieces that come at once";
  EXPECT_EQ(GzipCodec::decompress(*coded), text) << "pieces that come at once";

  // Every hundredth piece comes from another thread: the reading goes on there, then back here.
  // Fewer pieces: what is shown here is the hand-over, not the depth.
  constexpr size_t kInTurnPieces = 10000;
  const auto inTurnPiece = pieceOf(kInTurnPieces);
  auto feeder = platform::DispatchQueue::create("gzip-test-feeder");
  auto inTurnNext = std::make_shared<size_t>(0);
  auto inTurn = WebServerStreamedResponse::responseWithContentTypeAsync(
      "text/plain", [piece = inTurnPiece, inTurnNext, feeder](WebServerReadCompletion completion) {
        const size_t i = (*inTurnNext)++;
        if (i % 100 != 99) {
          completion(piece(i));
          return;
        }
        feeder->async([piece, i, completion = std::move(completion)] { completion(piece(i)); });
      });
  inTurn->setGZipContentEncodingEnabled(true);
  const auto codedInTurn = readAllWaiting(*inTurn);
  ASSERT_TRUE(codedInTurn) << "pieces that come from two threads in turn";
  EXPECT_EQ(GzipCodec::decompress(*codedInTurn), text.substr(0, kInTurnPieces))
      << "pieces that come from two threads in turn";
}

TEST(WebServerErrorResponsePage, EscapesEveryMarkupCharacterItEmbeds) {
  auto response = WebServerErrorResponse::responseWithClientError(
      404, WebServerError{"Domain<x>", 7, "bad & \"worse\""}, "No '%s' here", "<script>");
  EXPECT_EQ(response->statusCode(), 404);
  EXPECT_EQ(response->contentType(), "text/html; charset=utf-8");
  const std::string page = readAll(*response).bytes;
  EXPECT_EQ(page,
            "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>HTTP Error "
            "404</title></head><body><h1>HTTP Error 404: No &#39;&lt;script&gt;&#39; "
            "here</h1><h3>[Domain&lt;x&gt;] bad &amp; &quot;worse&quot; (7)</h3></body></html>");
  EXPECT_EQ(response->contentLength(), page.size());
}

TEST(WebServerFileResponseBody, AppliesTheRangeTable) {
  TemporaryFile file(sample(1000));
  struct Case {
    WebServerByteRange range;
    int status;
    const char *contentRange;
    uint64_t length;
  };
  const Case cases[] = {
      {{}, 200, nullptr, 1000},
      {{900, 500}, 206, "bytes 900-999/1000", 100},
      {{kWebServerNoLocation, 10}, 206, "bytes 990-999/1000", 10},
      {{10, kWebServerToEnd}, 206, "bytes 10-999/1000", 990},
  };
  for (const Case &c : cases) {
    auto creation = WebServerFileResponse::create(file.path(), c.range);
    ASSERT_NE(creation.response, nullptr) << c.range.location;
    auto &response = *creation.response;
    EXPECT_EQ(response.statusCode(), c.status);
    EXPECT_EQ(response.contentLength(), c.length);
    if (c.contentRange != nullptr) {
      EXPECT_EQ(response.additionalHeaders().at("Content-Range"), c.contentRange);
    } else {
      EXPECT_EQ(response.additionalHeaders().count("Content-Range"), 0u);
    }
    const Body body = readAll(response);
    ASSERT_TRUE(body.ok);
    const uint64_t start = c.status == 206 ? std::stoull(std::string(c.contentRange).substr(6)) : 0;
    EXPECT_EQ(body.bytes, sample(1000).substr(start, c.length));
  }
}

TEST(WebServerFileResponseBody, ReportsUnsatisfiableRangesAndMissingFiles) {
  TemporaryFile file(sample(1000));
  auto beyond = WebServerFileResponse::create(file.path(), {1000, 10});
  EXPECT_EQ(beyond.response, nullptr);
  EXPECT_EQ(beyond.failure, WebServerFileResponse::Failure::unsatisfiableRange);
  EXPECT_EQ(beyond.fileSize, 1000u);

  TemporaryFile empty("");
  EXPECT_EQ(WebServerFileResponse::create(empty.path(), {kWebServerNoLocation, 5}).failure,
            WebServerFileResponse::Failure::unsatisfiableRange);
  EXPECT_EQ(WebServerFileResponse::create("/nonexistent/file.ts").failure,
            WebServerFileResponse::Failure::notFound);
  EXPECT_EQ(WebServerFileResponse::create(WebServerFileRequest::temporaryDirectory()).failure,
            WebServerFileResponse::Failure::notRegularFile);
  EXPECT_EQ(WebServerFileResponse::create(file.path() + std::string("\0.ts", 4)).failure,
            WebServerFileResponse::Failure::invalidPath);
}

TEST(WebServerFileResponseBody, EndsWithAnErrorWhenTheFileShrinks) {
  TemporaryFile file(sample(100000));
  auto response = WebServerFileResponse::responseWithFile(file.path());
  ASSERT_NE(response, nullptr);
  response->prepareForReading();
  ASSERT_TRUE(response->performOpen());
  ASSERT_EQ(::truncate(file.path().c_str(), 40000), 0);
  bool failed = false;
  std::string received;
  for (int i = 0; i < 10 && !failed; ++i) {
    response->performReadData([&](WebServerReadResult r) {
      if (!r.ok)
        failed = true;
      received.append(r.data.view());
    });
  }
  EXPECT_TRUE(failed);
  EXPECT_EQ(received.size(), 40000u);
  response->performClose();
}

TEST(WebServerFileResponseBody, NamesAttachmentsWithoutControlCharacters) {
  TemporaryFile file(sample(10), std::string("\x01na\"me\r\n\xc3\xa9.txt"));
  auto response = WebServerFileResponse::create(file.path(), {}, true).response;
  ASSERT_NE(response, nullptr);
  const std::string disposition = response->additionalHeaders().at("Content-Disposition");
  EXPECT_TRUE(WebServerIsValidHeaderValue(disposition));
  EXPECT_NE(disposition.find("filename*=UTF-8''"), std::string::npos);
  EXPECT_NE(disposition.find("name\xe9.txt\""), std::string::npos) << disposition;
  EXPECT_NE(disposition.find("%C3%A9.txt"), std::string::npos) << disposition;
}
