#include <gtest/gtest.h>

#include <string>

#include "protocol/FileRequestEndMessageReader.hpp"
#include "protocol/FileRequestMessageReader.hpp"
#include "protocol/FileRequestResponseMessageReader.hpp"
#include "protocol/FileRequestStopMessageReader.hpp"
#include "protocol/PeerChainMessageReader.hpp"

namespace ombrelia {
namespace {

const Uuid kRequesterId = *Uuid::parse("0A1B2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3");
const std::string kLowerRequesterId = "0a1b2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3";

TEST(FileRequestMessage, WritesInOrderAndReadsBack) {
  FileRequestMessage message("fileRequest", kRequesterId, "v\"1", 7, 2, "video");
  auto text = message.encode().text;
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, R"({"type":"fileRequest","videoID":"v\"1","segmentNumber":7,"quality":2,)"
                   R"("mediaType":"video","requestID":")" +
                       kLowerRequesterId + R"("})");
  EXPECT_EQ(FileRequestMessageReader().readJSON(*text), message);
}

TEST(FileRequestResponseMessage, WritesAbsentIntegersAsNull) {
  FileRequestResponseMessage message("fileRequestResponse", kRequesterId, true, 0, 31800, 2, 31800,
                                     std::nullopt, std::nullopt, std::nullopt);
  auto text = message.encode().text;
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            R"({"type":"fileRequestResponse","valid":true,"byteStart":0,"size":31800,)"
            R"("numberOfChunks":2,"segmentSize":31800,"reason":null,"after":null,"before":null,)"
            R"("requestID":")" +
                kLowerRequesterId + R"("})");
  EXPECT_EQ(FileRequestResponseMessageReader().readJSON(*text), message);
}

TEST(PeerChainMessage, WritesChainBeforeTheIdentifier) {
  PeerChainMessage message("mi", kRequesterId, "aaaaaaaa|bbbbbbbb");
  auto text = message.encode().text;
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, R"({"type":"mi","mi":"aaaaaaaa|bbbbbbbb","ri":")" + kLowerRequesterId + R"("})");
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
