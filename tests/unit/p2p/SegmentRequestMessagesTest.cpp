#include <gtest/gtest.h>

#include <string>

#include "p2p/FileRequestEndMessageReader.hpp"
#include "p2p/FileRequestMessageReader.hpp"
#include "p2p/FileRequestResponseMessageReader.hpp"
#include "p2p/FileRequestStopMessageReader.hpp"
#include "p2p/PeerChainMessageReader.hpp"

namespace ombrelia {
namespace {

const Uuid kId = *Uuid::parse("0A1B2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3");
const std::string kLowerId = "0a1b2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3";

TEST(FileRequestMessage, WritesInOrderAndReadsBack) {
  FileRequestMessage message("fileRequest", kId, "v\"1", 7, 2, "video");
  auto text = message.encode().text;
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, R"({"type":"fileRequest","videoID":"v\"1","segmentNumber":7,"quality":2,)"
                   R"("mediaType":"video","requestID":")" +
                       kLowerId + R"("})");
  EXPECT_EQ(FileRequestMessageReader().readJSON(*text), message);
}

TEST(FileRequestMessage, RefusesStringNumbersAndTextThatCannotBeWritten) {
  FileRequestMessageReader reader;
  EXPECT_FALSE(
      reader.readJSON(R"({"type":"fileRequest","requestID":")" + kLowerId +
                      R"(","videoID":"v","segmentNumber":"7","quality":2,"mediaType":"video"})"));
  EXPECT_FALSE(
      reader.readJSON(R"({"type":"fileRequest","requestID":")" + kLowerId +
                      R"(","videoID":"v","segmentNumber":7,"quality":"2","mediaType":"video"})"));
  auto result = FileRequestMessage("fileRequest", kId, "bad\xff", 7, 2, "video").encode();
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.failure, platform::JsonWriteFailure::invalidUtf8);
}

TEST(FileRequestResponseMessage, WritesAbsentIntegersAsNull) {
  FileRequestResponseMessage message("fileRequestResponse", kId, true, 0, 31800, 2, 31800,
                                     std::nullopt, std::nullopt, std::nullopt);
  auto text = message.encode().text;
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            R"({"type":"fileRequestResponse","valid":true,"byteStart":0,"size":31800,)"
            R"("numberOfChunks":2,"segmentSize":31800,"reason":null,"after":null,"before":null,)"
            R"("requestID":")" +
                kLowerId + R"("})");
  EXPECT_EQ(FileRequestResponseMessageReader().readJSON(*text), message);
}

TEST(FileRequestResponseMessage, OptionalIntegersMayBeMissingOrNull) {
  FileRequestResponseMessageReader reader;
  auto bare = reader.readJSON(R"({"type":"fileRequestResponse","valid":false,"requestID":")" +
                              kLowerId + R"("})");
  auto nulls =
      reader.readJSON(R"({"type":"fileRequestResponse","valid":false,"byteStart":null,"size":null,)"
                      R"("numberOfChunks":null,"segmentSize":null,"reason":null,"after":null,)"
                      R"("before":null,"requestID":")" +
                      kLowerId + R"("})");
  ASSERT_TRUE(bare && nulls);
  EXPECT_EQ(*bare, *nulls);
  EXPECT_FALSE(bare->segmentSize());
  EXPECT_EQ(bare->encode().text,
            R"({"type":"fileRequestResponse","valid":false,"byteStart":null,"size":null,)"
            R"("numberOfChunks":null,"segmentSize":null,"reason":null,"after":null,)"
            R"("before":null,"requestID":")" +
                kLowerId + R"("})");
  auto withReason = reader.readJSON(
      R"({"type":"fileRequestResponse","valid":true,"reason":4,"segmentSize":2.0,"requestID":")" +
      kLowerId + R"("})");
  ASSERT_TRUE(withReason);
  EXPECT_EQ(withReason->reason(), 4);
  EXPECT_EQ(withReason->segmentSize(), 2);
  for (const std::string& text :
       {R"({"type":"fileRequestResponse","requestID":")" + kLowerId + R"("})",
        R"({"type":"fileRequestResponse","valid":true,"segmentSize":"5","requestID":")" + kLowerId +
            R"("})",
        R"({"type":"fileRequestResponse","valid":true,"size":1.5,"requestID":")" + kLowerId +
            R"("})",
        R"({"type":"FileRequestResponse","valid":true,"requestID":")" + kLowerId + R"("})"}) {
    EXPECT_FALSE(reader.readJSON(text)) << text;
  }
}

TEST(StopAndEndMessages, OnlyTheTypeTellsThemApart) {
  FileRequestStopMessage stop("fileRequestStop", kId);
  FileRequestEndMessage end("fileRequestEnd", kId);
  const std::string stopText = R"({"type":"fileRequestStop","requestID":")" + kLowerId + R"("})";
  const std::string endText = R"({"type":"fileRequestEnd","requestID":")" + kLowerId + R"("})";
  EXPECT_EQ(stop.encode().text, stopText);
  EXPECT_EQ(end.encode().text, endText);
  EXPECT_EQ(FileRequestStopMessageReader().readJSON(stopText), stop);
  EXPECT_FALSE(FileRequestEndMessageReader().readJSON(stopText));
  EXPECT_EQ(FileRequestEndMessageReader().readJSON(endText), end);
  EXPECT_FALSE(FileRequestStopMessageReader().readJSON(endText));
  EXPECT_FALSE(FileRequestStopMessageReader().readJSON(R"({"type":"fileRequestStop"})"));
}

TEST(PeerChainMessage, WritesChainBeforeTheIdentifier) {
  PeerChainMessage message("mi", kId, "aaaaaaaa|bbbbbbbb");
  auto text = message.encode().text;
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, R"({"type":"mi","mi":"aaaaaaaa|bbbbbbbb","ri":")" + kLowerId + R"("})");
  auto upper = PeerChainMessageReader().readJSON(
      R"({"ri":"0A1B2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3","mi":"aaaaaaaa|bbbbbbbb","type":"mi","x":[]})");
  EXPECT_EQ(upper, message);
}

TEST(PeerChainMessage, RefusesChainsPastTheBound) {
  PeerChainMessageReader reader;
  auto chainOf = [](size_t bytes) {
    return R"({"type":"mi","ri":"0a1b2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3","mi":")" +
           std::string(bytes, 'a') + R"("})";
  };
  EXPECT_TRUE(reader.readJSON(chainOf(PeerChainMessage::kMaxChainBytes)));
  EXPECT_FALSE(reader.readJSON(chainOf(PeerChainMessage::kMaxChainBytes + 1)));
  EXPECT_FALSE(reader.readJSON(R"({"type":"mi","ri":"not-a-uuid","mi":"a"})"));
  EXPECT_FALSE(
      reader.readJSON(R"({"type":"mi","ri":"0a1b2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3","mi":7})"));
}

}  // namespace
}  // namespace ombrelia
