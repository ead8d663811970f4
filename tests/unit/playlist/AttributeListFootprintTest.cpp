// What an attribute list costs once read: a variant's line may hold millions of attributes, and
// what its tag holds, and what reading a master of such lines holds at once, stay within a few
// times the line's bytes whatever the attributes are.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "playlist/parser/PlaylistParser.hpp"
#include "playlist/tags/EXT_X_KEY.hpp"
#include "playlist/tags/EXT_X_MEDIA.hpp"
#include "playlist/tags/EXT_X_STREAM_INF.hpp"
#include "support/HeapGauge.hpp"

namespace ombrelia {
namespace {

using test::HeapGauge;

// The tag's own object and its few entries, and what a sampling thread takes.
constexpr size_t kSlack = 64 * 1024;

// `count` distinct attributes, A0000000 upwards, each with `value`.
std::string manyAttributes(size_t count, const std::string& value) {
  std::string text;
  char name[32];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, ",A%07zu=", i);
    text.append(name);
    text.append(value);
  }
  return text;
}

struct Shape {
  const char* name;
  std::string line;  // a variant's tag line
};

// The shapes that cost most per byte: many short attributes, each with a distinct name or the
// same one, many quoted values, one value as long as the line.
std::vector<Shape> hugeVariantLines() {
  const std::string head = "#EXT-X-STREAM-INF:BANDWIDTH=7,RESOLUTION=640x360";
  return {
      {"distinct short attributes", head + manyAttributes(300000, "1")},
      {"quoted values", head + manyAttributes(250000, "\"x\"")},
      {"one name again and again", head +
                                       [] {
                                         std::string same;
                                         for (int i = 0; i < 400000; ++i) same += ",A=1";
                                         return same;
                                       }()},
      {"one long resolution",
       "#EXT-X-STREAM-INF:BANDWIDTH=7,RESOLUTION=" + std::string(3000000, '9') + "x1"},
  };
}

// Reading a master of one such line holds, at its peak and while its tag is handed on, the line
// and the values its tag reads: every attribute kept, 14 times the master's bytes.
TEST(AttributeListFootprint, AMasterOfOneHugeVariantLineIsReadHoldingItAtMostTwice) {
  const Url base = *Url::parse("http://origin.test/master.m3u8");
  for (const Shape& shape : hugeVariantLines()) {
    const std::string master = "#EXTM3U\n" + shape.line + "\nv.m3u8\n";
    size_t atTheTag = 0;
    int64_t bandwidth = 0;
    HeapGauge heap;
    const auto outcome = PlaylistParser().read(
        master, PlaylistType::master, base,
        [&](const std::shared_ptr<const Tag>& tag, std::string_view lastLine) {
          // Everything the parse holds is alive here: the lines, the entry and its tag.
          atTheTag = HeapGauge::bytesInUse() - heap.baseline();
          EXPECT_EQ(lastLine, "v.m3u8");
          if (const auto* variant = dynamic_cast<const EXT_X_STREAM_INF*>(tag.get()))
            bandwidth = variant->bandwidth();
        });
    ASSERT_TRUE(outcome) << shape.name;
    EXPECT_EQ(bandwidth, 7) << shape.name;
    const size_t most = BaseAttributedTag::kHeldBytesPerTextByte * master.size() + kSlack;
    EXPECT_LE(atTheTag, most) << shape.name << ": " << atTheTag << " bytes held for a master of "
                              << master.size();
    EXPECT_LE(heap.peakGrowth(), most) << shape.name << ": its reading took " << heap.peakGrowth()
                                       << " bytes for a master of " << master.size();
  }
}

// The values a tag reads come out as the whole list gives them: quotes dropped wherever they
// stand, names included; the last of a name wins; a list whose texts to delete could form a
// separator is cleaned before it is split.
TEST(AttributeListFootprint, KeptAttributesReadAsTheWholeListGivesThem) {
  const std::vector<std::string> quote{"\""};
  const std::string_view kept[] = {"BANDWIDTH", "RESOLUTION", "URI", "A"};
  for (const char* list :
       {"BANDWIDTH=1,RESOLUTION=\"1280x720\",X=2", "\"BAND\"WIDTH=5,BANDWIDTH\"\"=6,BANDWIDTHX=7",
        "URI=\"k.bin?a=1,b=2\",A=,A=3,RESOLUTION=\"\"", "=1,,A,URI==x\"=\"", "URI"}) {
    TagAttributes whole = AttributedTag::getAttributes(list, ",", &quote);
    std::erase_if(whole, [&](const auto& entry) {
      return std::find(std::begin(kept), std::end(kept), entry.first) == std::end(kept);
    });
    TagAttributes some;
    AttributedTag::getAttributes(list, ",", &quote, kept, some);
    EXPECT_EQ(some, whole) << list;
  }
  // Deleting the quote makes ",," of ",\",": the list is split where the separator then stands.
  auto cleanedFirst = AttributedTag::getAttributes("A=1,\",B=2", ",,", &quote);
  EXPECT_EQ(cleanedFirst["A"], "1");
  EXPECT_EQ(cleanedFirst["B"], "2");

  auto media = EXT_X_MEDIA::make(
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aud\",NAME=\"English, "
      "UK\",CHANNELS=\"2\",URI=\"a.m3u8\"");
  ASSERT_TRUE(media);
  EXPECT_EQ(media.value()->groupId(), "aud");
  EXPECT_EQ(media.value()->name(), "English");
  EXPECT_EQ(media.value()->uri(), "a.m3u8");
  EXPECT_EQ(media.value()->tagDataText().substr(0, 10), "TYPE=AUDIO");
  // A list whose attributes are none that the class reads still counts as a list.
  EXPECT_EQ(EXT_X_KEY::make("#EXT-X-KEY:IV=0x1").error(), TagError::missingAttributes());
}

}  // namespace
}  // namespace ombrelia
