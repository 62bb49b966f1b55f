#include <gtest/gtest.h>
#include <uuid/uuid.h>
#include <yajl/yajl_gen.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/base/uuid_util.h"
#include "host/base/yajl_gen.h"
#include "host/base/yajl_handler.h"
#include "host/storage/compression.h"
#include "tests/support/json_gen.h"
#include "tests/support/log_capture.h"

namespace {

// Records every event as a short text; answers false at a chosen event.
class Recording_Handler : public YAJL_Handler {
 public:
  std::vector<std::string> events;
  std::string stop_at;

  bool note(const std::string& e) {
    events.push_back(e);
    return e != stop_at;
  }
  bool handle_null_i() override { return note("null"); }
  bool handle_boolean_i(int v) override { return note(v ? "true" : "false"); }
  bool handle_number_i(const char* t, std::size_t n) override { return note("num:" + std::string(t, n)); }
  bool handle_string_i(const unsigned char* t, std::size_t n) override {
    return note("str:" + std::string(reinterpret_cast<const char*>(t), n));
  }
  bool handle_start_map_i() override { return note("{"); }
  bool handle_map_key_i(const unsigned char* k, std::size_t n) override {
    return note("key:" + std::string(reinterpret_cast<const char*>(k), n));
  }
  bool handle_end_map_i() override { return note("}"); }
  bool handle_start_array_i() override { return note("["); }
  bool handle_end_array_i() override { return note("]"); }
};

// Uses the base handlers for everything they provide.
class Base_Handler : public YAJL_Handler {
 public:
  int strings = 0;
  bool handle_string_i(const unsigned char*, std::size_t) override { return ++strings, true; }
  bool handle_start_map_i() override { return true; }
  bool handle_map_key_i(const unsigned char*, std::size_t) override { return true; }
  bool handle_end_map_i() override { return true; }
};

bool parse(YAJL_Handler& h, const std::string& text, std::string* error = nullptr) {
  return h.parse(text.data(), text.size(), error);
}

TEST(YajlHandler, DeliversEventsWithNumbersAsRawText) {
  Recording_Handler h;
  std::string error;
  ASSERT_TRUE(parse(h, R"({"a":[1,-2.5e3,123456789012345678901234567890],"b":null,"c":true,"d":"x"})", &error))
      << error;
  EXPECT_EQ((std::vector<std::string>{"{", "key:a", "[", "num:1", "num:-2.5e3", "num:123456789012345678901234567890",
                                      "]", "key:b", "null", "key:c", "true", "key:d", "str:x", "}"}),
            h.events);
}

TEST(YajlHandler, CompleteParseCatchesTruncatedText) {
  Recording_Handler h;
  std::string error;
  EXPECT_FALSE(parse(h, R"({"a":"b")", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_NE("stopped by handler", error);
  Recording_Handler number;
  EXPECT_TRUE(parse(number, "12")) << "a top-level number ends only at the end of the text";
  EXPECT_EQ((std::vector<std::string>{"num:12"}), number.events);
}

TEST(YajlHandler, HandlerStopIsReported) {
  Recording_Handler h;
  h.stop_at = "key:b";
  std::string error;
  EXPECT_FALSE(parse(h, R"({"a":1,"b":2,"c":3})", &error));
  EXPECT_EQ("stopped by handler", error);
  EXPECT_EQ("key:b", h.events.back());
}

TEST(YajlHandler, RejectsGarbageEmptyAndInvalidUtf8) {
  const std::vector<std::string> bad = {"",
                                        "   ",
                                        "{",
                                        "}",
                                        "{\"a\" 1}",
                                        "[1,]",
                                        "\"\xff\xfe\"",
                                        "{\"\xc3\":1}",
                                        "nul",
                                        "{} {}",
                                        std::string("{\"a\":\"\0\"}", 9),
                                        "// c\n{}"};
  for (const std::string& text : bad) {
    Recording_Handler h;
    std::string error;
    EXPECT_FALSE(parse(h, text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  Recording_Handler h;
  EXPECT_FALSE(h.parse(nullptr, 0));
}

TEST(YajlHandler, KeyNamedTwiceInOneObjectStopsBeforeTheHandlerSeesIt) {
  Recording_Handler h;
  std::string error;
  EXPECT_FALSE(parse(h, R"({"id":"a","x":{"id":"inner"},"id":"b"})", &error));
  EXPECT_EQ("duplicate key \"id\"", error);
  EXPECT_EQ((std::vector<std::string>{"{", "key:id", "str:a", "key:x", "{", "key:id", "str:inner", "}"}), h.events)
      << "the same key in a nested object is another member; the second outer one never arrives";
  Recording_Handler empty;
  EXPECT_FALSE(parse(empty, R"({"":1,"":2})", &error));
  EXPECT_EQ("duplicate key \"\"", error);
  Recording_Handler siblings;
  EXPECT_TRUE(parse(siblings, R"([{"id":1},{"id":2}])", &error)) << "each object has its own keys: " << error;
}

TEST(YajlHandler, BaseHandlersRejectScalarsAndSkipArrays) {
  for (const char* text : {R"({"a":null})", R"({"a":true})", R"({"a":5})", R"({"a":1.5})"}) {
    Base_Handler h;
    EXPECT_FALSE(parse(h, text)) << text;
  }
  Base_Handler h;
  EXPECT_TRUE(parse(h, R"({"a":["x",["y"]]})"));
  EXPECT_EQ(2, h.strings);
}

TEST(YajlHandler, DeepNestingDoesNotCrash) {
  Base_Handler h;
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_TRUE(parse(h, deep));
  Base_Handler unbalanced;
  EXPECT_FALSE(parse(unbalanced, std::string(100000, '[')));
}

TEST(YajlGen, WritesEveryKindOfValue) {
  int rc = -1;
  std::string json = generate_json(
      [](yajl_gen_t* g) {
        YAJL_Gen gen(g);
        YAJL_Map_Guard map(gen);
        bool ok = map.ok() && gen.string("s", std::string("t\"x")) && gen.integer("i", -9223372036854775807LL - 1) &&
                  gen.uinteger("u", 18446744073709551615ULL) && gen.boolean("b", false) && gen.string("n") &&
                  gen.number("1.25e10");
        {
          YAJL_Array_Guard arr((gen.string("a"), gen));
          ok = ok && arr.ok() && gen.string(YAJL_Gen::Str("abc", 2)) && gen.boolean(true);
        }
        return ok && map.close() ? 0 : -1;
      },
      &rc);
  EXPECT_EQ(0, rc);
  EXPECT_EQ(R"({"s":"t\"x","i":-9223372036854775808,"u":18446744073709551615,"b":false,"n":1.25e10,)"
            R"("a":["ab",true]})",
            json);
}

TEST(YajlGen, GuardsCloseOnScopeEndAndFailuresShow) {
  std::string json = generate_json([](yajl_gen_t* g) {
    YAJL_Gen gen(g);
    YAJL_Map_Guard map(gen);
    YAJL_Gen::Str key("k");
    gen.string(key);
    YAJL_Array_Guard arr(gen);
    return 0;
  });
  EXPECT_EQ(R"({"k":[]})", json);
  int rc = 0;
  generate_json(
      [](yajl_gen_t* g) {
        YAJL_Gen gen(g);
        YAJL_Map_Guard map(gen);
        return gen.integer(5) ? 0 : -1;  // a map key must be a text
      },
      &rc);
  EXPECT_EQ(-1, rc);
}

TEST(Compression, NamesAndValuesRoundTrip) {
  for (int m : {COMPR_NONE, COMPR_AUTO, COMPR_LZOP, COMPR_ZSTD}) {
    const char* name = compression_value_to_name(m);
    EXPECT_EQ(m, compression_name_to_value(name, std::strlen(name)));
  }
  EXPECT_STREQ("zstd", compression_value_to_name(COMPR_ZSTD));
  EXPECT_STREQ("none", compression_value_to_name(77));
  EXPECT_EQ(COMPR_NONE, compression_name_to_value("ZSTD", 4));
  EXPECT_EQ(COMPR_NONE, compression_name_to_value("zst", 3));
  EXPECT_EQ(COMPR_LZOP, compression_name_to_value("lzopX", 4));
  EXPECT_EQ(COMPR_NONE, compression_name_to_value(nullptr, 0));
  EXPECT_STREQ("", compression_value_to_suffix(COMPR_NONE));
  EXPECT_STREQ(".zst", compression_value_to_suffix(COMPR_ZSTD));
  EXPECT_STREQ(".zst", compression_value_to_suffix(COMPR_AUTO));
  EXPECT_STREQ(".lzo", compression_value_to_suffix(COMPR_LZOP));
}

TEST(UuidUtil, TextAndBinaryRoundTrip) {
  const std::string text = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";
  unsigned char bin[UUID_BINARY_SIZE];
  ASSERT_EQ(0, uuid_string_to_binary(text, bin));
  EXPECT_EQ(0x3f, bin[0]);
  EXPECT_EQ(0x01, bin[15]);
  EXPECT_EQ(text, uuid_binary_to_string(bin));
  ASSERT_EQ(0, uuid_string_to_binary("3F2504E0-4F89-11D3-9A0C-0305E82C3301", bin));
  EXPECT_EQ(text, uuid_binary_to_string(bin));
}

TEST(UuidUtil, BadTextFailsClearlyAndLeavesOutputAlone) {
  const std::vector<std::string> bad = {
      "",
      "3f2504e0-4f89-11d3-9a0c-0305e82c330",
      "3f2504e0-4f89-11d3-9a0c-0305e82c33011",
      "3f2504e0x4f89-11d3-9a0c-0305e82c3301",
      "zf2504e0-4f89-11d3-9a0c-0305e82c3301",
      std::string("3f2504e0-4f89-11d3-9a0c-0305e82c3301", 36).replace(35, 1, 1, '\0')};
  for (const std::string& text : bad) {
    unsigned char bin[UUID_BINARY_SIZE];
    std::memset(bin, 0xAA, sizeof bin);
    Log_Capture cap;
    errno = 0;
    EXPECT_EQ(-1, uuid_string_to_binary(text, bin)) << text;
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(1u, cap.records().size());
    EXPECT_EQ(0xAA, bin[0]);
  }
}

}  // namespace
