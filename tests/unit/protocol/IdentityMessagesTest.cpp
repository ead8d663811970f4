#include <gtest/gtest.h>

#include "protocol/InitMessageReader.hpp"
#include "protocol/PeerConnectionMessageReader.hpp"

namespace ombrelia {
namespace {

const Uuid kPeer = *Uuid::parse("5B1E2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3");

TEST(InitMessage, WritesUpperCaseAndReadsBack) {
  InitMessage message("uuid", kPeer);
  auto text = message.encode().text;
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, R"({"type":"uuid","uuid":"5B1E2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3"})");
  EXPECT_EQ(InitMessageReader().readJSON(*text), message);
}

TEST(InitMessage, ReaderAcceptanceTable) {
  InitMessageReader reader;
  EXPECT_EQ(
      reader.readJSON(R"({"uuid":"5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3","x":[1],"type":"uuid"})"),
      InitMessage("uuid", kPeer));
  for (const char* text :
       {R"({"type":"uuid"})", R"({"type":"UUID","uuid":"5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3"})",
        R"({"type":"uuid","uuid":"5b1e2c3d4e5f4a7b8c9daebfc0d1e2f3"})",
        R"({"type":"uuid","uuid":"not a uuid"})", R"({"type":"uuid","uuid":null})",
        R"({"type":"uuid","uuid":7})", R"({"uuid":"5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3"})",
        R"(["uuid"])", "uuid"}) {
    EXPECT_FALSE(reader.readJSON(text)) << text;
  }
}

TEST(PeerConnectionMessage, ReaderAcceptanceTable) {
  PeerConnectionMessageReader reader;
  auto empty = reader.readJSON(R"({"type":"peerConnectedModif","list":[]})");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->list().empty());
  auto extra = reader.readJSON(
      R"({"list":[{"extra":1,"uuid":"5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3","modification":"add"}],)"
      R"("more":true,"type":"peerConnectedModif"})");
  ASSERT_TRUE(extra);
  EXPECT_EQ(extra->list().at(0), PeerConnectionListItem("add", kPeer));
  for (
      const char* text :
      {R"({"type":"peerConnectedModif","list":[{"uuid":"5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3"}]})",
       R"({"type":"peerConnectedModif","list":[{"modification":"delete","uuid":"x"}]})",
       R"({"type":"peerConnectedModif","list":[{"modification":"delete","uuid":"5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3"},1]})",
       R"({"type":"peerConnectedModif","list":{}})", R"({"type":"peerConnectedModif"})"}) {
    EXPECT_FALSE(reader.readJSON(text)) << text;
  }
}

}  // namespace
}  // namespace ombrelia
