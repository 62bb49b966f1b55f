#include "host/process/line_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Collector {
 public:
  Line_Assembler::Sink sink() {
    return [this](const char* line, unsigned long len) {
      EXPECT_EQ('\0', line[len]);
      lines.emplace_back(line, len);
    };
  }
  std::vector<std::string> lines;
};

// Feeds text one byte at a time, the hardest split there is.
void feed_bytewise(Line_Assembler& a, const std::string& text, Collector& c) {
  for (char ch : text) a.feed(&ch, 1, c.sink());
}

TEST(LineAssembler, LinesSplitAcrossFeedsComeOutWhole) {
  Line_Assembler a;
  Collector c;
  feed_bytewise(a, "alpha\r\nbeta\n\ngamma", c);
  EXPECT_EQ((std::vector<std::string>{"alpha", "beta", ""}), c.lines);
  a.finish(c.sink());
  EXPECT_EQ("gamma", c.lines.back());
  a.finish(c.sink());
  EXPECT_EQ(4u, c.lines.size());
}

TEST(LineAssembler, OnlyACarriageReturnBeforeTheLineFeedIsDropped) {
  Line_Assembler a;
  Collector c;
  const std::string text = "a\rb\r\r\n\rc\n";
  a.feed(text.data(), text.size(), c.sink());
  EXPECT_EQ((std::vector<std::string>{"a\rb\r", "\rc"}), c.lines);
}

TEST(LineAssembler, LongLinesComeInPiecesAndNulBytesAreKept) {
  Line_Assembler a(4);
  Collector c;
  const std::string text = std::string("abcd\nabcdefghij\nx\0y\n", 21);
  feed_bytewise(a, text, c);
  EXPECT_EQ((std::vector<std::string>{"abcd", "abcd", "efgh", "ij", std::string("x\0y", 3)}), c.lines);
}

TEST(LineAssembler, ClearForgetsAPartialLine) {
  Line_Assembler a;
  Collector c;
  a.feed("stale", 5, c.sink());
  a.clear();
  a.feed("fresh\n", 6, c.sink());
  EXPECT_EQ((std::vector<std::string>{"fresh"}), c.lines);
}

}  // namespace
