#include "webserver/core/WebServerRequestHeadParser.hpp"

#include <gtest/gtest.h>

#include "webserver/core/WebServerChunkedDecoder.hpp"

using namespace ombrelia;
using State = WebServerRequestHeadParser::State;

TEST(WebServerRequestHeadParsing, FindsTheBlankLineSplitAcrossReadsAndKeepsTheRest) {
  WebServerRequestHeadParser parser;
  EXPECT_EQ(parser.append("GET /a?b=1 HTTP/1.1\r\nHost: x\r\n\r"), State::incomplete);
  EXPECT_EQ(parser.append("\nbody"), State::complete);
  EXPECT_EQ(parser.head().method, "GET");
  EXPECT_EQ(parser.head().target, "/a?b=1");
  EXPECT_EQ(parser.head().version, "HTTP/1.1");
  EXPECT_EQ(parser.head().headers.at("host"), "x");
  EXPECT_EQ(parser.remainder(), "body");
}

TEST(WebServerRequestHeadParsing, CombinesRepeatedFieldsAndTrimsValues) {
  WebServerRequestHead head;
  ASSERT_EQ(WebServerRequestHeadParser::parse(
                "POST / HTTP/1.0\r\nContent-Length: 5\r\ncontent-length:  6 \r\n\r\n", head),
            State::complete);
  EXPECT_EQ(head.headers.at("Content-Length"), "5, 6");
}

TEST(WebServerRequestHeadParsing, RefusesMalformedHeads) {
  WebServerRequestHead head;
  for (const char *bad : {
           "GET /\r\n\r\n",                             // no version
           "GET / HTTP/2.0\r\n\r\n",                    // not HTTP/1.x
           "GET  / HTTP/1.1\r\n\r\n",                   // empty target
           "G(T / HTTP/1.1\r\n\r\n",                    // method not a token
           "GET / HTTP/1.1\r\nNo colon\r\n\r\n",        // header without colon
           "GET / HTTP/1.1\r\nA: 1\r\n folded\r\n\r\n", // obsolete line folding
           "GET / HTTP/1.1\r\nBad Name: 1\r\n\r\n",     // space in a name
           "GET / HTTP/1.1\r\nA: 1\n2\r\n\r\n",         // bare LF inside a value
       }) {
    EXPECT_EQ(WebServerRequestHeadParser::parse(bad, head), State::malformed) << bad;
  }
}

TEST(WebServerRequestHeadParsing, BoundsTheRequestLineAndTheHead) {
  WebServerRequestHeadParser line;
  EXPECT_EQ(
      line.append("GET /" + std::string(WebServerRequestHeadParser::kMaxRequestLineBytes, 'a')),
      State::requestLineTooLong);
  WebServerRequestHeadParser head;
  head.append("GET / HTTP/1.1\r\n");
  State state = State::incomplete;
  for (int i = 0; i < 10000 && state == State::incomplete; ++i) {
    state = head.append("X-Header-" + std::to_string(i) + ": " + std::string(40, 'v') + "\r\n");
  }
  EXPECT_EQ(state, State::headTooLarge);
}

TEST(WebServerChunkedDecoding, HandsDataOnAsItArrivesAndStopsAtTheCap) {
  std::string out;
  size_t pieces = 0;
  WebServerChunkedDecoder decoder(100, [&](std::string_view data) {
    out.append(data);
    ++pieces;
    return true;
  });
  // A chunk split over several reads reaches the sink piece by piece.
  EXPECT_EQ(decoder.append("a\r\n01234"), WebServerChunkedDecoder::State::needMore);
  EXPECT_EQ(out, "01234");
  EXPECT_EQ(decoder.append("56789\r"), WebServerChunkedDecoder::State::needMore);
  EXPECT_EQ(decoder.append("\n0\r\n\r\nignored"), WebServerChunkedDecoder::State::complete);
  EXPECT_EQ(out, "0123456789");
  EXPECT_EQ(pieces, 2u);

  WebServerChunkedDecoder capped(100, [](std::string_view) { return true; });
  EXPECT_EQ(capped.append("65\r\n"), WebServerChunkedDecoder::State::bodyTooLarge);
  WebServerChunkedDecoder refused(100, [](std::string_view) { return false; });
  EXPECT_EQ(refused.append("1\r\nx"), WebServerChunkedDecoder::State::sinkFailed);
  WebServerChunkedDecoder trailers(100, [](std::string_view) { return true; });
  EXPECT_EQ(
      trailers.append("0\r\n" + std::string(WebServerChunkedDecoder::kMaxTrailerBytes + 10, 'x')),
      WebServerChunkedDecoder::State::trailersTooLarge);
  WebServerChunkedDecoder line(100, [](std::string_view) { return true; });
  EXPECT_EQ(line.append("1;" + std::string(WebServerChunkedDecoder::kMaxChunkLineBytes, 'e')),
            WebServerChunkedDecoder::State::lineTooLong);
}
