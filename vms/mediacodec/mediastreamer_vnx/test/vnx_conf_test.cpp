#include <tarn/support/mediastreamer/vnx_conf.h>
#include <tarn/testing/log_capture.h>
#include <tarn/types/exceptions.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Tarn;
using namespace Tarn::Support;
using namespace Tarn::Testing;

const char kFunc[] = "VnxStreamerConf__Decode";
const char kEndpointLine[] = "fail: param </endpoint> has invalid value";
const char kSizeLine[] = "fail: param </max-size-mb> has invalid value";

enum outcome { kACCEPT, kPARAMS, kINTERNAL };

struct conf_case {
  const char* name_;
  const char* text_;
  outcome outcome_;
  const char* endpoint_;   // accepted: the decoded endpoint
  uint32_t max_size_mb_;   // accepted: the decoded size
  const char* line_;       // refused: the level-1 line of the decoder
  bool req_param_line_;    // refused: preceded by a level-4 line of the size reader
};

const conf_case kCases[] = {
    {"typical", R"({"endpoint":"cam-1","max-size-mb":64})", kACCEPT, "cam-1", 64, nullptr, false},
    {"size 0", R"({"endpoint":"e","max-size-mb":0})", kACCEPT, "e", 0, nullptr, false},
    {"size 128", R"({"endpoint":"e","max-size-mb":128})", kACCEPT, "e", 128, nullptr, false},
    {"size 64.9 truncated", R"({"endpoint":"e","max-size-mb":64.9})", kACCEPT, "e", 64, nullptr,
     false},
    {"other keys ignored", R"({"x":[1,2],"endpoint":"e","max-size-mb":1,"y":{}})", kACCEPT, "e", 1,
     nullptr, false},
    {"first of two equal keys", R"({"endpoint":"a","endpoint":"b","max-size-mb":2})", kACCEPT, "a",
     2, nullptr, false},
    {"capitalised keys", R"({"Endpoint":"e","Max-Size-Mb":3})", kACCEPT, "e", 3, nullptr, false},
    {"upper-case keys", R"({"ENDPOINT":"e","MAX-SIZE-MB":4})", kACCEPT, "e", 4, nullptr, false},
    {"trailing text ignored", R"({"endpoint":"e","max-size-mb":5} trailing)", kACCEPT, "e", 5,
     nullptr, false},

    {"size 129", R"({"endpoint":"e","max-size-mb":129})", kPARAMS, nullptr, 0, kSizeLine, true},
    {"size -1", R"({"endpoint":"e","max-size-mb":-1})", kPARAMS, nullptr, 0, kSizeLine, true},
    {"size -0.5 is 0", R"({"endpoint":"e","max-size-mb":-0.5})", kACCEPT, "e", 0, nullptr, false},
    {"size huge", R"({"endpoint":"e","max-size-mb":1e30})", kPARAMS, nullptr, 0, kSizeLine, true},
    {"size string", R"({"endpoint":"e","max-size-mb":"64"})", kPARAMS, nullptr, 0, kSizeLine, true},
    {"size true", R"({"endpoint":"e","max-size-mb":true})", kPARAMS, nullptr, 0, kSizeLine, true},
    {"size null", R"({"endpoint":"e","max-size-mb":null})", kPARAMS, nullptr, 0, kSizeLine, true},
    {"size missing", R"({"endpoint":"e"})", kPARAMS, nullptr, 0, kSizeLine, false},

    {"endpoint empty", R"({"endpoint":"","max-size-mb":64})", kINTERNAL, nullptr, 0,
     kEndpointLine, false},
    {"endpoint absent", R"({"max-size-mb":64})", kPARAMS, nullptr, 0, kEndpointLine, false},
    {"endpoint absent, size bad too", R"({"max-size-mb":"x"})", kPARAMS, nullptr, 0, kEndpointLine,
     false},
    {"endpoint number", R"({"endpoint":42,"max-size-mb":64})", kINTERNAL, nullptr, 0,
     kEndpointLine, false},
    {"endpoint object", R"({"endpoint":{"name":"e"},"max-size-mb":64})", kINTERNAL, nullptr, 0,
     kEndpointLine, false},
    {"endpoint array", R"({"endpoint":["e"],"max-size-mb":64})", kINTERNAL, nullptr, 0,
     kEndpointLine, false},
    {"endpoint null", R"({"endpoint":null,"max-size-mb":64})", kINTERNAL, nullptr, 0,
     kEndpointLine, false},
    {"endpoint true", R"({"endpoint":true,"max-size-mb":64})", kINTERNAL, nullptr, 0,
     kEndpointLine, false},

    {"whole text array", R"([{"endpoint":"e","max-size-mb":64}])", kPARAMS, nullptr, 0,
     kEndpointLine, false},
    {"whole text number", "64", kPARAMS, nullptr, 0, kEndpointLine, false},
    {"whole text empty object", "{}", kPARAMS, nullptr, 0, kEndpointLine, false},
    {"whole text string", R"("endpoint")", kPARAMS, nullptr, 0, kEndpointLine, false},
};

TEST(VnxStreamerConf, DecodeTable) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name_);
    LogCapture__Clear();
    vnx_streamer_conf conf;
    conf.max_size_mb_ = 999;
    switch (c.outcome_) {
      case kACCEPT:
        ASSERT_NO_THROW(VnxStreamerConf__Decode(c.text_, conf)) << LogCapture__Dump();
        EXPECT_EQ(conf.endpoint_, c.endpoint_);
        EXPECT_EQ(conf.max_size_mb_, c.max_size_mb_);
        EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
        continue;
      case kPARAMS:
        EXPECT_THROW(VnxStreamerConf__Decode(c.text_, conf), params_error);
        break;
      case kINTERNAL:
        EXPECT_THROW(VnxStreamerConf__Decode(c.text_, conf), internal_error);
        break;
    }
    // Exactly one decoder line, at level 1; for a size the reader refused,
    // one level-4 line of the reader before it.
    const auto records = LogCapture__Records();
    ASSERT_EQ(records.size(), c.req_param_line_ ? 2u : 1u) << LogCapture__Dump();
    if (c.req_param_line_) {
      EXPECT_EQ(records[0].level_, 4);
      EXPECT_EQ(records[0].func_, "cJSON__DecodeJsonReqParamU32");
      EXPECT_EQ(records[0].message_, "fail");
    }
    EXPECT_EQ(records.back().level_, 1);
    EXPECT_EQ(records.back().func_, kFunc);
    EXPECT_EQ(records.back().message_, c.line_);
  }
}

// The exception classes of the decoder matter to nobody but the family: the
// unit factory catches generic_error alike. Check that they stay in it.
TEST(VnxStreamerConf, RefusalsBelongToGenericError) {
  vnx_streamer_conf conf;
  EXPECT_THROW(VnxStreamerConf__Decode(R"({"endpoint":""})", conf), generic_error);
  EXPECT_THROW(VnxStreamerConf__Decode("{", conf), generic_error);
}

TEST(VnxStreamerConf, NotJsonLogsTheParseLineWithTheErrorPosition) {
  struct parse_case {
    const char* text_;
    const char* rest_;  // where the parser stopped
  };
  const parse_case table[] = {
      {"endpoint=cam-1", "endpoint=cam-1"},
      {"", ""},
      {R"({"endpoint" "e","max-size-mb":64})", "\"e\",\"max-size-mb\":64}"},
      {R"([1,,2])", ",2]"},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.text_);
    LogCapture__Clear();
    vnx_streamer_conf conf;
    EXPECT_THROW(VnxStreamerConf__Decode(c.text_, conf), params_error);
    ASSERT_EQ(LogCapture__Records().size(), 1u) << LogCapture__Dump();
    const auto record = LogCapture__Records()[0];
    EXPECT_EQ(record.level_, 1);
    EXPECT_EQ(record.func_, kFunc);
    EXPECT_EQ(record.message_, std::string("fail: cJSON_Parse (") + c.rest_ + ")");
  }
}

TEST(VnxStreamerConf, NullTextIsRefusedWithTheParseLine) {
  LogCapture__Clear();
  vnx_streamer_conf conf;
  EXPECT_THROW(VnxStreamerConf__Decode(nullptr, conf), params_error);
  EXPECT_TRUE(LogCapture__Has(1, "fail: cJSON_Parse ()", kFunc)) << LogCapture__Dump();
  EXPECT_EQ(LogCapture__Records().size(), 1u) << LogCapture__Dump();
  EXPECT_TRUE(conf.endpoint_.empty());
}

// A record reused for a second decode must not let an old endpoint stand in
// for an empty or missing one.
TEST(VnxStreamerConf, EmptyEndpointIsRefusedEvenOverAnEarlierValue) {
  vnx_streamer_conf conf;
  VnxStreamerConf__Decode(R"({"endpoint":"old","max-size-mb":8})", conf);
  for (const char* text : {R"({"endpoint":"","max-size-mb":8})", R"({"endpoint":7,"max-size-mb":8})"}) {
    SCOPED_TRACE(text);
    LogCapture__Clear();
    EXPECT_THROW(VnxStreamerConf__Decode(text, conf), internal_error);
    EXPECT_TRUE(LogCapture__Has(1, kEndpointLine, kFunc)) << LogCapture__Dump();
  }
}

}  // namespace
