#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "protocol/AbonnementRequestMessageReader.hpp"
#include "protocol/AbonnementResponseMessageReader.hpp"
#include "protocol/FileAvailabilityRequestMessageReader.hpp"
#include "protocol/FileAvailabilityResponseMessageReader.hpp"
#include "protocol/NotifyFirstMessageReader.hpp"

namespace ombrelia {
namespace {

const Uuid kId = *Uuid::parse("0A1B2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3");
const std::string kLowerId = "0a1b2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

TEST(FileAvailabilityRequestMessage, WritesInOrderWithLowerCaseIdentifierLast) {
  FileAvailabilityRequestMessage message(std::string(FileAvailabilityRequestMessage::typeString),
                                         kId, "video", 2, 41, "vid-1", 1.5);
  auto text = message.encode().text;
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            R"({"type":"fileAvailability","mediaType":"video","quality":2,"segmentNumber":41,)"
            R"("videoID":"vid-1","r":1.5,"requestID":")" +
                kLowerId + R"("})");
  EXPECT_EQ(FileAvailabilityRequestMessageReader().readJSON(*text), message);
}

TEST(FileAvailabilityResponseMessage, WritesInOrderAndReadsBack) {
  FileAvailabilityResponseMessage message("fileAvailabilityResponse", kId,
                                          SegmentReady::downloading, -1, 1, -1, 44, 12.5, 0.0);
  auto text = message.encode().text;
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, R"({"type":"fileAvailabilityResponse","sr":2,"qa":-1,"pos":1,"st":-1,"ste":44,)"
                   R"("buf":12.5,"r":0.0,"requestID":")" +
                       kLowerId + R"("})");
  EXPECT_EQ(FileAvailabilityResponseMessageReader().readJSON(*text), message);
}

TEST(FileAvailabilityResponseMessage, ReaderAcceptanceTable) {
  FileAvailabilityResponseMessageReader reader;
  const std::string valid =
      R"({"type":"fileAvailabilityResponse","sr":3,"qa":1,"pos":3,"st":0,"ste":-1,)"
      R"("buf":30,"r":0,"requestID":")" +
      kLowerId + R"("})";
  auto message = reader.readJSON(valid);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->sr(), SegmentReady::otherQuality);
  EXPECT_EQ(message->buf(), 30.0);
  for (const std::string& text :
       {replaced(valid, R"("sr":3)", R"("sr":4)"), replaced(valid, R"("sr":3)", R"("sr":-1)"),
        replaced(valid, R"("qa":1)", R"("qa":1.5)"), replaced(valid, R"("pos":3)", R"("pos":1.5)"),
        replaced(valid, R"("st":0)", R"("st":1.5)"),
        replaced(valid, R"("ste":-1)", R"("ste":-1.5)"),
        replaced(valid, R"("buf":30)", R"("buf":"30")"), replaced(valid, R"("r":0,)", ""),
        replaced(valid, "fileAvailabilityResponse", "fileAvailability")}) {
    EXPECT_FALSE(reader.readJSON(text)) << text;
  }
  EXPECT_FALSE(FileAvailabilityRequestMessageReader().readJSON(valid));
}

TEST(AbonnementMessages, WriteInOrderAndReadBack) {
  AbonnementRequestMessage request("aboRequest", kId, 1);
  AbonnementResponseMessage response("aboResponse", kId, false);
  EXPECT_EQ(request.encode().text,
            R"({"type":"aboRequest","resource":1,"requestID":")" + kLowerId + R"("})");
  EXPECT_EQ(response.encode().text,
            R"({"type":"aboResponse","success":false,"requestID":")" + kLowerId + R"("})");
  EXPECT_EQ(AbonnementRequestMessageReader().readJSON(*request.encode().text), request);
  EXPECT_EQ(AbonnementResponseMessageReader().readJSON(*response.encode().text), response);
}

}  // namespace
}  // namespace ombrelia
