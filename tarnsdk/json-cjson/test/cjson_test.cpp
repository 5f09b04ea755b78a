#include <tarn/support/cjson.h>
#include <tarn/testing/log_capture.h>
#include <tarn/types/exceptions.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

using namespace Tarn;
using namespace Tarn::Support;
using namespace Tarn::Testing;

// The value of {"v": <aJson>} (the tree stays alive in aTree).
const cJSON* _T_item(cjson_up_t& aTree, const std::string& aJson) {
  aTree = cJSON__DecodeText(("{\"v\":" + aJson + "}").c_str());
  return cJSON_GetObjectItem(aTree.get(), "v");
}

TEST(cJSON, DecodeU32) {
  struct u32_case {
    const char* json_;
    uint32_t min_, max_;
    bool ok_;
    uint32_t value_;
  };
  const u32_case table[] = {
      {"5", 0, 10, true, 5},
      {"0", 0, 10, true, 0},
      {"10", 0, 10, true, 10},
      {"11", 0, 10, false, 0},
      {"4", 5, 10, false, 0},
      {"7.9", 0, 10, true, 7},
      {"-1", 0, 4294967295u, false, 0},
      {"2147483647", 0, 4294967295u, true, 2147483647u},
      {"\"0x10\"", 0, 100, true, 16},
      {"\"010\"", 0, 100, true, 8},
      {"\"42\"", 0, 100, true, 42},
      {"\"-1\"", 0, 4294967295u, false, 0},
      {"\"4294967295\"", 0, 4294967295u, true, 4294967295u},
      {"\"4294967296\"", 0, 4294967295u, false, 0},
      {"true", 0, 100, false, 0},
      {"null", 0, 100, false, 0},
      {"[1]", 0, 100, false, 0},
      {"{}", 0, 100, false, 0},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.json_);
    LogCapture__Clear();
    cjson_up_t tree(nullptr, cJSON_Delete);
    uint32_t value = 777;
    EXPECT_EQ(cJSON__DecodeU32(_T_item(tree, c.json_), value, c.min_, c.max_), c.ok_);
    EXPECT_EQ(value, c.ok_ ? c.value_ : 777u);
    const auto records = LogCapture__Records();
    if (c.ok_) {
      EXPECT_TRUE(records.empty()) << LogCapture__Dump();
    } else {
      ASSERT_EQ(records.size(), 1u) << LogCapture__Dump();
      EXPECT_EQ(records[0].level_, 1);
      EXPECT_EQ(records[0].func_, "cJSON__DecodeU32");
      EXPECT_EQ(records[0].message_, "fail");
    }
  }
}

TEST(cJSON, DecodeStr) {
  struct str_case {
    const char* json_;
    bool ok_;
    const char* value_;
  };
  const str_case table[] = {
      {"\"cam-1\"", true, "cam-1"}, {"\" \"", true, " "}, {"\"\"", false, nullptr},
      {"1", false, nullptr},        {"null", false, nullptr}, {"{}", false, nullptr},
      {"[\"a\"]", false, nullptr},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.json_);
    LogCapture__Clear();
    cjson_up_t tree(nullptr, cJSON_Delete);
    std::string value = "before";
    EXPECT_EQ(cJSON__DecodeStr(_T_item(tree, c.json_), value), c.ok_);
    EXPECT_EQ(value, c.ok_ ? c.value_ : "before");
    if (!c.ok_) {
      ASSERT_EQ(LogCapture__Records().size(), 1u) << LogCapture__Dump();
      EXPECT_EQ(LogCapture__Records()[0].level_, 1);
      EXPECT_EQ(LogCapture__Records()[0].func_, "cJSON__DecodeStr");
      EXPECT_EQ(LogCapture__Records()[0].message_, "fail");
    } else {
      EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
    }
  }
}

TEST(cJSON, DecodeJsonReqParamU32) {
  struct req_case {
    const char* json_;
    int min_, max_;
    bool ok_;
    uint32_t value_;
  };
  const req_case table[] = {
      {"0", 0, 128, true, 0},      {"128", 0, 128, true, 128}, {"64.9", 0, 128, true, 64},
      {"129", 0, 128, false, 0},   {"-1", 0, 128, false, 0},   {"-5", -10, 10, true, 4294967291u},
      {"\"64\"", 0, 128, false, 0}, {"true", 0, 128, false, 0}, {"false", 0, 128, false, 0},
      {"null", 0, 128, false, 0},  {"[]", 0, 128, false, 0},   {"1e30", 0, 128, false, 0},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.json_);
    LogCapture__Clear();
    cjson_up_t tree(nullptr, cJSON_Delete);
    uint32_t value = 777;
    EXPECT_EQ(cJSON__DecodeJsonReqParamU32(_T_item(tree, c.json_), value, c.min_, c.max_), c.ok_);
    EXPECT_EQ(value, c.ok_ ? c.value_ : 777u);
    if (!c.ok_) {
      ASSERT_EQ(LogCapture__Records().size(), 1u) << LogCapture__Dump();
      EXPECT_EQ(LogCapture__Records()[0].level_, 4);
      EXPECT_EQ(LogCapture__Records()[0].func_, "cJSON__DecodeJsonReqParamU32");
      EXPECT_EQ(LogCapture__Records()[0].message_, "fail");
    } else {
      EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
    }
  }
}

TEST(cJSON, DecodeJsonOptParamU32) {
  struct opt_case {
    const char* json_;
    uint32_t value_;
  };
  const opt_case table[] = {
      {"5", 5},           {"5.7", 5},     {"\"0x10\"", 16}, {"\"12\"", 12},
      {"-1", 4294967295u}, {"true", 777}, {"null", 777},    {"{}", 777},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.json_);
    LogCapture__Clear();
    cjson_up_t tree(nullptr, cJSON_Delete);
    uint32_t value = 777;
    cJSON__DecodeJsonOptParamU32(_T_item(tree, c.json_), value);
    EXPECT_EQ(value, c.value_);
    EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
  }
}

TEST(cJSON, DecodeText) {
  auto tree = cJSON__DecodeText(R"({"a":1} ignored)");
  ASSERT_TRUE(tree);
  EXPECT_EQ(cJSON_GetObjectItem(tree.get(), "a")->valueint, 1);

  for (const char* text : {"{\"a\":", "not json", ""}) {
    SCOPED_TRACE(text);
    LogCapture__Clear();
    EXPECT_THROW(cJSON__DecodeText(text), params_error);
    ASSERT_EQ(LogCapture__Records().size(), 1u) << LogCapture__Dump();
    EXPECT_EQ(LogCapture__Records()[0].level_, 1);
    EXPECT_EQ(LogCapture__Records()[0].func_, "cJSON__DecodeText");
    EXPECT_EQ(LogCapture__Records()[0].message_.rfind("fail: cJSON_Parse (", 0), 0u);
  }
  LogCapture__Clear();
  EXPECT_THROW(cJSON__DecodeText("[1,,2]"), params_error);
  EXPECT_TRUE(LogCapture__Has(1, "fail: cJSON_Parse (,2])", "cJSON__DecodeText")) << LogCapture__Dump();
  LogCapture__Clear();
  EXPECT_THROW(cJSON__DecodeText(nullptr), params_error);
  EXPECT_TRUE(LogCapture__Has(1, "fail: cJSON_Parse ()", "cJSON__DecodeText")) << LogCapture__Dump();
}

class cJSONFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarn-cjson-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const auto& f : files_) std::remove(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string Write(const std::string& aName, const std::string& aText) {
    const std::string path = dir_ + "/" + aName;
    std::ofstream(path, std::ios::binary) << aText;
    files_.push_back(path);
    return path;
  }
  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(cJSONFile, DecodesAFile) {
  const std::string path = Write("conf.json", "{\n  \"endpoint\": \"cam-1\",\n  \"max-size-mb\": 64\n}\n");
  auto tree = cJSON__DecodeFile(path.c_str());
  ASSERT_TRUE(tree);
  EXPECT_STREQ(cJSON_GetObjectItem(tree.get(), "endpoint")->valuestring, "cam-1");
}

TEST_F(cJSONFile, Refusals) {
  const std::string bad = Write("bad.json", "{\"a\":");
  const std::string missing = dir_ + "/missing.json";
  struct file_case {
    const char* path_;
    std::string line_;
  };
  const file_case table[] = {
      {nullptr, "fail: path:null"},
      {"", "fail: path:null"},
      {missing.c_str(), "fail: Fs__LoadTextFile <" + missing + ">"},
      {dir_.c_str(), "fail: Fs__LoadTextFile <" + dir_ + ">"},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.path_ ? c.path_ : "(null)");
    LogCapture__Clear();
    EXPECT_THROW(cJSON__DecodeFile(c.path_), params_error);
    EXPECT_TRUE(LogCapture__Has(1, c.line_, "cJSON__DecodeFile")) << LogCapture__Dump();
  }
  LogCapture__Clear();
  EXPECT_THROW(cJSON__DecodeFile(bad.c_str()), params_error);
  const auto records = LogCapture__Records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().level_, 1);
  EXPECT_EQ(records.back().func_, "cJSON__DecodeFile");
  EXPECT_EQ(records.back().message_.rfind("fail: cJSON_Parse <" + bad + "> (", 0), 0u)
      << records.back().message_;
}

}  // namespace
