#include <gtest/gtest.h>

#include <string>

#include "protocol/GroupResponseMessageReader.hpp"

namespace ombrelia {
namespace {

const std::string kItem =
    R"({"modification":"add","uuid":"5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3","joinDate":1700000000.5,)"
    R"("sameIP":true,"sameCountry":true,"sameRegion":false,"sameCity":false})";

std::string response(const std::string& list,
                     const std::string& tail = R"(,"sendableSegments":{})") {
  return R"({"type":"groupResponse","group":"0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3","joinDate":17,"list":)" +
         list + tail + "}";
}

TEST(GroupResponseMessage, ReadsEveryFieldOfItsItems) {
  auto message = GroupResponseMessageReader().readJSON(response("[" + kItem + "]"));
  ASSERT_TRUE(message);
  EXPECT_EQ(message->group().uuidString(), "0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3");
  EXPECT_EQ(message->joinDate(), 17.0);
  ASSERT_EQ(message->list().size(), 1u);
  EXPECT_EQ(message->list()[0],
            GroupListItem("add", *Uuid::parse("5B1E2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3"), 1700000000.5,
                          true, true, false, false));
}

TEST(GroupResponseMessage, ReaderRefusalTable) {
  GroupResponseMessageReader reader;
  EXPECT_TRUE(reader.readJSON(response("[]")));
  std::string noFlag = kItem;
  noFlag.erase(noFlag.find(R"(,"sameCity":false)"), 17);
  std::string intFlag = kItem;
  intFlag.replace(intFlag.find("\"sameIP\":true"), 13, "\"sameIP\":1");
  std::string badUuid = kItem;
  badUuid.replace(badUuid.find("5b1e2c3d-"), 9, "5b1e2c3d");
  for (
      const std::string& text :
      {response("[]", ""), response("[]", R"(,"sendableSegments":null)"),
       response("[]", R"(,"sendableSegments":[])"), response("[" + noFlag + "]"),
       response("[" + intFlag + "]"), response("[" + badUuid + "]"), response("{}"),
       std::string(
           R"({"type":"groupResponse","group":"x","joinDate":1,"list":[],"sendableSegments":{}})"),
       std::string(
           R"({"type":"groupresponse","group":"0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3","joinDate":1,"list":[],"sendableSegments":{}})"),
       std::string(
           R"({"type":"groupResponse","group":"0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3","joinDate":"1","list":[],"sendableSegments":{}})")}) {
    EXPECT_FALSE(reader.readJSON(text)) << text;
  }
}

}  // namespace
}  // namespace ombrelia
