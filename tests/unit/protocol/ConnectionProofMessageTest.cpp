#include <gtest/gtest.h>

#include <string>

#include "protocol/ConnectionProofMessageReader.hpp"

namespace ombrelia {
namespace {

const Uuid kFrom = *Uuid::parse("0A1B2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3");
const Uuid kTo = *Uuid::parse("5B1E2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3");

std::string withIdentities(const std::string& identities) {
  return R"({"type":"connectionProof","from":"0a1b2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3",)"
         R"("to":"5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3","identities":)" +
         identities + "}";
}

// Two stated counts are added when connections are ordered, so the reader keeps them where
// the sum cannot overflow and every JSON reader keeps them exact.
TEST(ConnectionProofMessage, ReadsCountsFromOneToTwoToTheFiftyThirdOnly) {
  const ConnectionProofMessage largest("connectionProof", kFrom, kTo,
                                       ConnectionProofMessage::kMaxIdentities);
  const auto text = largest.encode().text;
  ASSERT_TRUE(text);
  EXPECT_EQ(ConnectionProofMessageReader().readJSON(*text), largest);
  EXPECT_EQ(ConnectionProofMessageReader().readJSON(withIdentities("1"))->identities(), 1);
  for (const char* refused : {"0", "-1", "9007199254740992", "1.5", "\"2\"", "null"}) {
    EXPECT_FALSE(ConnectionProofMessageReader().readJSON(withIdentities(refused))) << refused;
  }
  EXPECT_FALSE(ConnectionProofMessageReader().readJSON(R"({"type":"connectionProof"})"));
}

}  // namespace
}  // namespace ombrelia
