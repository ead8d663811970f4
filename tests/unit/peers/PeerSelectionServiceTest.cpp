#include <gtest/gtest.h>

#include <ombrelia/OLoggerConfig.hpp>

#include "LogLines.hpp"
#include "peers/PeerList.hpp"
#include "peers/PeerSelectionService.hpp"
#include "protocol/GroupListItem.hpp"
#include "protocol/PeerConnectionListItem.hpp"
#include "support/PeerListSandbox.hpp"
#include "support/PeerNotificationLog.hpp"

namespace ombrelia {
namespace {

using test::PeerListSandbox;
using test::PeerNotificationLog;

const Uuid kSelector = *Uuid::parse("5e1f5e1f-0000-4000-8000-000000000000");
const Uuid kCandidateA = *Uuid::parse("aaaaaaaa-0000-4000-8000-000000000001");
const Uuid kCandidateB = *Uuid::parse("bbbbbbbb-0000-4000-8000-000000000002");
const Uuid kC = *Uuid::parse("cccccccc-0000-4000-8000-000000000003");

GroupListItem item(const std::string& modification, const Uuid& uuid) {
  return GroupListItem(modification, uuid, 1.5, false, false, true, false);
}

std::vector<Uuid> listed() {
  std::vector<Uuid> uuids;
  for (const auto& peer : PeerList::shared().peers()) uuids.push_back(peer.uuid);
  return uuids;
}

class PeerSelectionServiceTest : public ::testing::Test {
 protected:
  PeerListSandbox sandbox;
  PeerSelectionService service;
};

TEST_F(PeerSelectionServiceTest, GroupListAppliesItsItemsInOrderSkippingItselfAndUnknownKinds) {
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::debug);
  PeerNotificationLog log;
  testing::internal::CaptureStdout();
  service.updatePeersWithList(
      std::vector<GroupListItem>{item("add", kSelector), item("add", kCandidateA),
                                 item("Add", kCandidateB), item("add", kC),
                                 item("delete", kCandidateA), item("add", kCandidateA),
                                 item("add", kCandidateA)},
      kSelector);
  const std::string out = testing::internal::GetCapturedStdout();

  const std::string prefix = "[Ombrelia] [Debug] [PeerSelectionService] ";
  EXPECT_EQ(test::linesWith(out, {"[PeerSelectionService]"}),
            (std::vector<std::string>{
                prefix + "Add peer: " + kCandidateA.uuidString(),
                "[Ombrelia] [Error] [PeerSelectionService] group response list has item with "
                "unhandled modification type: Add",
                prefix + "Add peer: " + kC.uuidString(),
                prefix + "Delete peer: " + kCandidateA.uuidString(),
                prefix + "Add peer: " + kCandidateA.uuidString(),
                prefix + "Add peer: " + kCandidateA.uuidString()}));
  EXPECT_EQ(listed(), (std::vector<Uuid>{kC, kCandidateA})) << "a peer named twice is added once";
  for (const auto& entry : log.entries()) EXPECT_NE(entry.uuid, kSelector);
}

}  // namespace
}  // namespace ombrelia
