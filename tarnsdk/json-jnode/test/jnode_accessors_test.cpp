#include <tarn/support/jnode-jnode.h>
#include <tarn/support/jnode-text.h>
#include <tarn/support/jnode-uint16.h>
#include <tarn/support/jnode-uint32.h>
#include <tarn/support/jnode.h>
#include <tarn/testing/log_capture.h>
#include <tarn/types/exceptions.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using namespace Tarn::Support;
using namespace Tarn::Testing;

const jnode& Doc() {
  static const jnode doc = from_string(R"({
    "w": 1920, "big": 65536, "neg": -1, "frac": 2.5, "whole": 3.0, "s": "text", "ten": 10,
    "zero": 0, "top": 65535, "nil": null, "blank": "",
    "u32max": 4294967295, "u32over": 4294967296, "i64min": -9223372036854775808,
    "list": [1920, 65536, -1, 2.5, "text", 3.0],
    "pair": ["a", "b"], "mixed": ["a", 1], "three": [1, 2, 3], "empty": [],
    "nested": [[1, 2], [1, 2, 3], "x"]
  })");
  return doc;
}
const jnode_map& M() { return Doc().asMapRef(); }
const jnode_vector& V(const char* aName) { return M().at(aName).asVectorRef(); }

// The one log line a call must leave (none when aMessage is null).
struct expected_log {
  int level_;
  const char* message_;
  const char* func_;
};
const expected_log kNO_LOG{0, nullptr, nullptr};

void ExpectOnly(const expected_log& aLog) {
  const auto records = LogCapture__Records();
  if (aLog.message_ == nullptr) {
    EXPECT_TRUE(records.empty()) << LogCapture__Dump();
    return;
  }
  ASSERT_EQ(records.size(), 1u) << LogCapture__Dump();
  EXPECT_EQ(records[0].level_, aLog.level_);
  EXPECT_EQ(records[0].message_, aLog.message_);
  EXPECT_EQ(records[0].func_, aLog.func_);
}

template <class T>
struct int_case {
  const char* what_;
  std::function<bool(T&)> call_;
  bool ok_;
  T value_;
  expected_log log_;
};

template <class T>
void RunIntCases(const std::vector<int_case<T>>& aTable) {
  const T untouched = 777;
  for (const auto& row : aTable) {
    SCOPED_TRACE(row.what_);
    LogCapture__Clear();
    T value = untouched;
    EXPECT_EQ(row.call_(value), row.ok_);
    EXPECT_EQ(value, row.ok_ ? row.value_ : untouched);
    ExpectOnly(row.log_);
  }
}

TEST(JnodeGetUint16, RangesDefaultsAndLogLines) {
  const char* I = "_T_jnode__get_uint16";
  const char* P = "Jnode__GetUint16";
  const jnode_vector& list = V("list");
  using T = uint16_t;
  RunIntCases<T>({
      {"w", [](T& v) { return Jnode__GetUint16(M(), "w", v); }, true, 1920, kNO_LOG},
      {"top", [](T& v) { return Jnode__GetUint16(M(), "top", v); }, true, 65535, kNO_LOG},
      {"zero", [](T& v) { return Jnode__GetUint16(M(), "zero", v); }, true, 0, kNO_LOG},
      {"whole", [](T& v) { return Jnode__GetUint16(M(), "whole", v); }, true, 3, kNO_LOG},
      {"big", [](T& v) { return Jnode__GetUint16(M(), "big", v); }, false, 0,
       {1, "fail: param #/big has invalid value (actual:65536, max:65535)", I}},
      {"neg", [](T& v) { return Jnode__GetUint16(M(), "neg", v); }, false, 0,
       {1, "fail: param #/neg has invalid value (actual:-1, min:0)", I}},
      {"i64min", [](T& v) { return Jnode__GetUint16(M(), "i64min", v); }, false, 0,
       {1, "fail: param #/i64min has invalid value (actual:-9223372036854775808, min:0)", I}},
      {"frac", [](T& v) { return Jnode__GetUint16(M(), "frac", v); }, false, 0,
       {1, "fail: param #/frac has invalid type", I}},
      {"s", [](T& v) { return Jnode__GetUint16(M(), "s", v); }, false, 0, {1, "fail: param #/s has invalid type", I}},
      {"nil", [](T& v) { return Jnode__GetUint16(M(), "nil", v); }, false, 0,
       {1, "fail: param #/nil has invalid type", I}},
      {"list", [](T& v) { return Jnode__GetUint16(M(), "list", v); }, false, 0,
       {1, "fail: param #/list has invalid type", I}},
      {"missing", [](T& v) { return Jnode__GetUint16(M(), "missing", v); }, false, 0,
       {1, "fail: param #/missing is absent", P}},
      // Ranges, both bounds inclusive; the minimum is tested first.
      {"ten in 10..10", [](T& v) { return Jnode__GetUint16(M(), "ten", v, 10, 10); }, true, 10, kNO_LOG},
      {"w in 10..10", [](T& v) { return Jnode__GetUint16(M(), "w", v, 10, 10); }, false, 0,
       {1, "fail: param #/w has invalid value (actual:1920, max:10)", I}},
      {"zero in 10..10", [](T& v) { return Jnode__GetUint16(M(), "zero", v, 10, 10); }, false, 0,
       {1, "fail: param #/zero has invalid value (actual:0, min:10)", I}},
      {"ten in 20..10", [](T& v) { return Jnode__GetUint16(M(), "ten", v, 20, 10); }, false, 0,
       {1, "fail: param #/ten has invalid value (actual:10, min:20)", I}},
      {"w in 20..10", [](T& v) { return Jnode__GetUint16(M(), "w", v, 20, 10); }, false, 0,
       {1, "fail: param #/w has invalid value (actual:1920, max:10)", I}},
      {"missing in 10..20", [](T& v) { return Jnode__GetUint16(M(), "missing", v, 10, 20); }, false, 0,
       {1, "fail: param #/missing is absent", P}},
      // Defaults stand for absent members only, unchecked against the range.
      {"missing, default 7", [](T& v) { return Jnode__GetUint16(M(), "missing", v, T(7)); }, true, 7, kNO_LOG},
      {"missing, default 7 in 10..20", [](T& v) { return Jnode__GetUint16(M(), "missing", v, 7, 10, 20); }, true,
       7, kNO_LOG},
      {"w, default 7", [](T& v) { return Jnode__GetUint16(M(), "w", v, T(7)); }, true, 1920, kNO_LOG},
      {"frac, default 7", [](T& v) { return Jnode__GetUint16(M(), "frac", v, T(7)); }, false, 0,
       {1, "fail: param #/frac has invalid type", I}},
      {"neg, default 7", [](T& v) { return Jnode__GetUint16(M(), "neg", v, T(7)); }, false, 0,
       {1, "fail: param #/neg has invalid value (actual:-1, min:0)", I}},
      {"ten, default 7 in 11..20", [](T& v) { return Jnode__GetUint16(M(), "ten", v, 7, 11, 20); }, false, 0,
       {1, "fail: param #/ten has invalid value (actual:10, min:11)", I}},
      // Array items.
      {"#/0", [&](T& v) { return Jnode__GetUint16(list, 0, v); }, true, 1920, kNO_LOG},
      {"#/5", [&](T& v) { return Jnode__GetUint16(list, 5, v); }, true, 3, kNO_LOG},
      {"#/1", [&](T& v) { return Jnode__GetUint16(list, 1, v); }, false, 0,
       {1, "fail: param #/1 has invalid value (actual:65536, max:65535)", I}},
      {"#/2", [&](T& v) { return Jnode__GetUint16(list, 2, v); }, false, 0,
       {1, "fail: param #/2 has invalid value (actual:-1, min:0)", I}},
      {"#/3", [&](T& v) { return Jnode__GetUint16(list, 3, v); }, false, 0, {1, "fail: param #/3 has invalid type", I}},
      {"#/4", [&](T& v) { return Jnode__GetUint16(list, 4, v); }, false, 0, {1, "fail: param #/4 has invalid type", I}},
      {"#/6", [&](T& v) { return Jnode__GetUint16(list, 6, v); }, false, 0, {1, "fail: param #/6 is absent", P}},
      {"#/0 in 0..1000", [&](T& v) { return Jnode__GetUint16(list, 0, v, 0, 1000); }, false, 0,
       {1, "fail: param #/0 has invalid value (actual:1920, max:1000)", I}},
      {"#/6 in 0..1000", [&](T& v) { return Jnode__GetUint16(list, 6, v, 0, 1000); }, false, 0,
       {1, "fail: param #/6 is absent", P}},
      {"#/6, default 9", [&](T& v) { return Jnode__GetUint16(list, 6, v, T(9)); }, true, 9, kNO_LOG},
      {"#/6, default 9 in 10..20", [&](T& v) { return Jnode__GetUint16(list, 6, v, 9, 10, 20); }, true, 9, kNO_LOG},
      {"#/0, default 9", [&](T& v) { return Jnode__GetUint16(list, 0, v, T(9)); }, true, 1920, kNO_LOG},
      {"#/3, default 9", [&](T& v) { return Jnode__GetUint16(list, 3, v, T(9)); }, false, 0,
       {1, "fail: param #/3 has invalid type", I}},
      {"#/0, default 9 in 2000..3000", [&](T& v) { return Jnode__GetUint16(list, 0, v, 9, 2000, 3000); }, false, 0,
       {1, "fail: param #/0 has invalid value (actual:1920, min:2000)", I}},
      // Node pointers: no name, no lookup.
      {"node 1920", [&](T& v) { return Jnode__GetUint16(&list[0], v); }, true, 1920, kNO_LOG},
      {"node 65536", [&](T& v) { return Jnode__GetUint16(&list[1], v); }, false, 0,
       {1, "fail: param #/ has invalid value (actual:65536, max:65535)", P}},
      {"node -1", [&](T& v) { return Jnode__GetUint16(&list[2], v); }, false, 0,
       {1, "fail: param #/ has invalid value (actual:-1, min:0)", P}},
      {"node 2.5", [&](T& v) { return Jnode__GetUint16(&list[3], v); }, false, 0,
       {1, "fail: param #/ has invalid type", P}},
      {"node 1920 in 2000..3000", [&](T& v) { return Jnode__GetUint16(&list[0], v, 2000, 3000); }, false, 0,
       {1, "fail: param #/ has invalid value (actual:1920, min:2000)", P}},
      {"node 3.0 in 3..3", [&](T& v) { return Jnode__GetUint16(&list[5], v, 3, 3); }, true, 3, kNO_LOG},
  });
}

TEST(JnodeGetUint32, RangesDefaultsAndLogLines) {
  const char* I = "_T_jnode__get_uint32";
  const char* P = "Jnode__GetUint32";
  const jnode_vector& list = V("list");
  using T = uint32_t;
  RunIntCases<T>({
      {"u32max", [](T& v) { return Jnode__GetUint32(M(), "u32max", v); }, true, 4294967295u, kNO_LOG},
      {"big", [](T& v) { return Jnode__GetUint32(M(), "big", v); }, true, 65536, kNO_LOG},
      {"u32over", [](T& v) { return Jnode__GetUint32(M(), "u32over", v); }, false, 0,
       {1, "fail: param #/u32over has invalid value (actual:4294967296, max:4294967295)", I}},
      {"neg", [](T& v) { return Jnode__GetUint32(M(), "neg", v); }, false, 0,
       {1, "fail: param #/neg has invalid value (actual:-1, min:0)", I}},
      {"frac", [](T& v) { return Jnode__GetUint32(M(), "frac", v); }, false, 0,
       {1, "fail: param #/frac has invalid type", I}},
      {"whole", [](T& v) { return Jnode__GetUint32(M(), "whole", v); }, true, 3, kNO_LOG},
      {"missing", [](T& v) { return Jnode__GetUint32(M(), "missing", v); }, false, 0,
       {1, "fail: param #/missing is absent", P}},
      {"u32max in 0..4294967294", [](T& v) { return Jnode__GetUint32(M(), "u32max", v, 0, 4294967294u); }, false, 0,
       {1, "fail: param #/u32max has invalid value (actual:4294967295, max:4294967294)", I}},
      {"w in 100000..200000", [](T& v) { return Jnode__GetUint32(M(), "w", v, 100000, 200000); }, false, 0,
       {1, "fail: param #/w has invalid value (actual:1920, min:100000)", I}},
      {"missing in 1..2", [](T& v) { return Jnode__GetUint32(M(), "missing", v, 1, 2); }, false, 0,
       {1, "fail: param #/missing is absent", P}},
      {"missing, default 7", [](T& v) { return Jnode__GetUint32(M(), "missing", v, T(7)); }, true, 7, kNO_LOG},
      {"missing, default 7 in 10..20", [](T& v) { return Jnode__GetUint32(M(), "missing", v, 7, 10, 20); }, true,
       7, kNO_LOG},
      {"u32over, default 7", [](T& v) { return Jnode__GetUint32(M(), "u32over", v, T(7)); }, false, 0,
       {1, "fail: param #/u32over has invalid value (actual:4294967296, max:4294967295)", I}},
      {"#/1", [&](T& v) { return Jnode__GetUint32(list, 1, v); }, true, 65536, kNO_LOG},
      {"#/2", [&](T& v) { return Jnode__GetUint32(list, 2, v); }, false, 0,
       {1, "fail: param #/2 has invalid value (actual:-1, min:0)", I}},
      {"#/4", [&](T& v) { return Jnode__GetUint32(list, 4, v); }, false, 0, {1, "fail: param #/4 has invalid type", I}},
      {"#/0 in 0..100", [&](T& v) { return Jnode__GetUint32(list, 0, v, 0, 100); }, false, 0,
       {1, "fail: param #/0 has invalid value (actual:1920, max:100)", I}},
      {"#/9", [&](T& v) { return Jnode__GetUint32(list, 9, v); }, false, 0, {1, "fail: param #/9 is absent", P}},
      {"#/9 in 1..2", [&](T& v) { return Jnode__GetUint32(list, 9, v, 1, 2); }, false, 0,
       {1, "fail: param #/9 is absent", P}},
      {"#/9, default 5", [&](T& v) { return Jnode__GetUint32(list, 9, v, T(5)); }, true, 5, kNO_LOG},
      {"#/9, default 5 in 6..7", [&](T& v) { return Jnode__GetUint32(list, 9, v, 5, 6, 7); }, true, 5, kNO_LOG},
      {"#/3, default 5", [&](T& v) { return Jnode__GetUint32(list, 3, v, T(5)); }, false, 0,
       {1, "fail: param #/3 has invalid type", I}},
      {"node u32max", [](T& v) { return Jnode__GetUint32(&M().at("u32max"), v); }, true, 4294967295u, kNO_LOG},
      {"node u32over", [](T& v) { return Jnode__GetUint32(&M().at("u32over"), v); }, false, 0,
       {1, "fail: param #/ has invalid value (actual:4294967296, max:4294967295)", P}},
      {"node -1", [&](T& v) { return Jnode__GetUint32(&list[2], v); }, false, 0,
       {1, "fail: param #/ has invalid value (actual:-1, min:0)", P}},
      {"node text", [&](T& v) { return Jnode__GetUint32(&list[4], v); }, false, 0,
       {1, "fail: param #/ has invalid type", P}},
      {"node 1920 in 0..1919", [&](T& v) { return Jnode__GetUint32(&list[0], v, 0, 1919); }, false, 0,
       {1, "fail: param #/ has invalid value (actual:1920, max:1919)", P}},
  });
}

TEST(JnodeGetText, FormsDefaultsAndLogLines) {
  const char* I = "_T_jnode__get_text";
  const char* P = "Jnode__GetText";
  const jnode_vector& mixed = V("mixed");
  struct {
    const char* what_;
    std::function<bool(std::string&)> call_;
    bool ok_;
    const char* value_;
    expected_log log_;
  } const table[] = {
      {"s", [](std::string& v) { return Jnode__GetText(M(), "s", v); }, true, "text", kNO_LOG},
      {"blank", [](std::string& v) { return Jnode__GetText(M(), "blank", v); }, true, "", kNO_LOG},
      {"w", [](std::string& v) { return Jnode__GetText(M(), "w", v); }, false, nullptr,
       {1, "fail: param #/w has invalid type", I}},
      {"nil", [](std::string& v) { return Jnode__GetText(M(), "nil", v); }, false, nullptr,
       {1, "fail: param #/nil has invalid type", I}},
      {"missing", [](std::string& v) { return Jnode__GetText(M(), "missing", v); }, false, nullptr,
       {1, "fail: param #/missing is absent", P}},
      {"missing, default", [](std::string& v) { return Jnode__GetText(M(), "missing", v, "def"); }, true, "def",
       kNO_LOG},
      {"s, default", [](std::string& v) { return Jnode__GetText(M(), "s", v, "def"); }, true, "text", kNO_LOG},
      {"w, default", [](std::string& v) { return Jnode__GetText(M(), "w", v, "def"); }, false, nullptr,
       {1, "fail: param #/w has invalid type", I}},
      {"#/0", [&](std::string& v) { return Jnode__GetText(mixed, 0, v); }, true, "a", kNO_LOG},
      {"#/1", [&](std::string& v) { return Jnode__GetText(mixed, 1, v); }, false, nullptr,
       {1, "fail: param #/1 has invalid type", I}},
      {"#/1, default", [&](std::string& v) { return Jnode__GetText(mixed, 1, v, "def"); }, false, nullptr,
       {1, "fail: param #/1 has invalid type", I}},
      {"#/2", [&](std::string& v) { return Jnode__GetText(mixed, 2, v); }, false, nullptr,
       {1, "fail: param #/2 is absent", P}},
      {"#/3, default", [&](std::string& v) { return Jnode__GetText(mixed, 3, v, "def"); }, true, "def", kNO_LOG},
      {"#/0, default", [&](std::string& v) { return Jnode__GetText(mixed, 0, v, "def"); }, true, "a", kNO_LOG},
      {"node text", [&](std::string& v) { return Jnode__GetText(&mixed[0], v); }, true, "a", kNO_LOG},
      {"node number", [&](std::string& v) { return Jnode__GetText(&mixed[1], v); }, false, nullptr,
       {1, "fail: param #/ has invalid type", P}},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.what_);
    LogCapture__Clear();
    std::string value = "untouched";
    EXPECT_EQ(row.call_(value), row.ok_);
    EXPECT_EQ(value, row.ok_ ? row.value_ : "untouched");
    ExpectOnly(row.log_);
  }
}

// The node an output pointer starts at; rows that must leave the output
// untouched expect it there.
const jnode* Untouched() {
  static const jnode untouched;
  return &untouched;
}

// What a node lookup must hand back: a node of the document, the shared
// empty array, or nothing (the output keeps its old value).
struct node_case {
  const char* what_;
  std::function<bool(const jnode*&)> call_;
  bool ok_;
  const jnode* points_at_;  // nullptr: the shared empty array node; Untouched(): not written
  expected_log log_;
};

void RunNodeCases(const std::vector<node_case>& aTable, const jnode*& aSharedEmpty) {
  for (const auto& row : aTable) {
    SCOPED_TRACE(row.what_);
    LogCapture__Clear();
    const jnode* value = Untouched();
    EXPECT_EQ(row.call_(value), row.ok_);
    if (row.points_at_ != nullptr) {
      EXPECT_EQ(value, row.points_at_);
    } else {
      ASSERT_NE(value, Untouched());
      EXPECT_EQ(value->get_type(), jnode_type::kJNODE_VECTOR);
      EXPECT_TRUE(value->asVectorRef().empty());
      if (aSharedEmpty == nullptr) aSharedEmpty = value;
      EXPECT_EQ(value, aSharedEmpty) << "a new empty node";
    }
    ExpectOnly(row.log_);
  }
}

TEST(JnodeGetJnode, KindCheck) {
  const jnode_vector& three = V("three");
  const jnode_vector& mixed = V("mixed");
  const char* P = "Jnode__GetJnode";
  const jnode* shared = nullptr;
  RunNodeCases(
      {
          {"list", [](const jnode*& v) { return Jnode__GetJnode(M(), "list", v, jnode_type::kJNODE_VECTOR); }, true,
           &M().at("list"), kNO_LOG},
          {"s", [](const jnode*& v) { return Jnode__GetJnode(M(), "s", v, jnode_type::kSTRING); }, true, &M().at("s"),
           kNO_LOG},
          {"nil", [](const jnode*& v) { return Jnode__GetJnode(M(), "nil", v, jnode_type::kNULLPTR); }, true,
           &M().at("nil"), kNO_LOG},
          // Map members: the caller decides whether absence is an error.
          {"s as int", [](const jnode*& v) { return Jnode__GetJnode(M(), "s", v, jnode_type::kINT64); }, false,
           Untouched(), kNO_LOG},
          {"missing", [](const jnode*& v) { return Jnode__GetJnode(M(), "missing", v, jnode_type::kINT64); }, false,
           Untouched(), kNO_LOG},
          {"#/2", [&](const jnode*& v) { return Jnode__GetJnode(three, 2, v, jnode_type::kINT64); }, true, &three[2],
           kNO_LOG},
          {"#/3", [&](const jnode*& v) { return Jnode__GetJnode(three, 3, v, jnode_type::kINT64); }, false, Untouched(),
           {4, "done: param #/3 is absent", P}},
          {"#/5", [&](const jnode*& v) { return Jnode__GetJnode(three, 5, v, jnode_type::kINT64); }, false, Untouched(),
           {4, "done: param #/5 is absent", P}},
          {"#/1 as text", [&](const jnode*& v) { return Jnode__GetJnode(mixed, 1, v, jnode_type::kSTRING); }, false,
           Untouched(), {1, "fail: param #/1 has invalid type", P}},
      },
      shared);
}

TEST(JnodeGetJnodeWithList, LengthsAndLogLines) {
  const char* P = "Jnode__GetJnodeWithList";
  const char* G = "Jnode__GetJnode";
  const jnode_vector& nested = V("nested");
  const jnode& pair = M().at("pair");
  const jnode& three = M().at("three");
  const jnode& empty = M().at("empty");
  const jnode* shared = nullptr;
  const jnode* start = Untouched();
  RunNodeCases(
      {
          // Any length.
          {"pair, any", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "pair", v); }, true, &pair,
           kNO_LOG},
          {"empty, any", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "empty", v); }, true, &empty,
           kNO_LOG},
          {"s, any", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "s", v); }, false, start,
           kNO_LOG},
          {"missing, any", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "missing", v); }, false,
           start, kNO_LOG},
          // One required length.
          {"pair, 2", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "pair", v, size_t(2)); }, true,
           &pair, kNO_LOG},
          {"three, 2", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "three", v, size_t(2)); },
           false, &three, {1, "fail: param #/three has invalid size (expected:2, actual:3)", P}},
          {"missing, 2", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "missing", v, size_t(2)); },
           false, start, kNO_LOG},
          {"s, 2", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "s", v, size_t(2)); }, false,
           start, kNO_LOG},
          {"#/0, 2", [&](const jnode*& v) { return Jnode__GetJnodeWithList(nested, 0, v, size_t(2)); }, true,
           &nested[0], kNO_LOG},
          {"#/1, 2", [&](const jnode*& v) { return Jnode__GetJnodeWithList(nested, 1, v, size_t(2)); }, false,
           &nested[1], {1, "fail: param #/1 has invalid size (expected:2, actual:3)", P}},
          {"#/2, 2", [&](const jnode*& v) { return Jnode__GetJnodeWithList(nested, 2, v, size_t(2)); }, false,
           start, {1, "fail: param #/2 has invalid type", G}},
          {"#/3, 2", [&](const jnode*& v) { return Jnode__GetJnodeWithList(nested, 3, v, size_t(2)); }, false,
           start, {4, "done: param #/3 is absent", G}},
          // A list of allowed lengths; 0 lets an absent or mistyped member
          // stand for an empty array.
          {"pair, {0,2}", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "pair", v, {0, 2}); }, true,
           &pair, kNO_LOG},
          {"empty, {0}", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "empty", v, {0}); }, true,
           &empty, kNO_LOG},
          {"missing, {0,2}", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "missing", v, {0, 2}); },
           true, nullptr, kNO_LOG},
          {"s, {0,2}", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "s", v, {0, 2}); }, true,
           nullptr, kNO_LOG},
          {"three, {0,2}", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "three", v, {0, 2}); },
           false, &three, {1, "fail: param #/three has invalid size (actual:3)", P}},
          {"missing, {2}", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "missing", v, {2}); },
           false, start, kNO_LOG},
          {"pair, {}", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "pair", v, {}); }, false,
           &pair, {1, "fail: param #/pair has invalid size (actual:2)", P}},
          {"missing, {}", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "missing", v, {}); }, false,
           start, kNO_LOG},
          {"#/1, {2,3}", [&](const jnode*& v) { return Jnode__GetJnodeWithList(nested, 1, v, {2, 3}); }, true,
           &nested[1], kNO_LOG},
          {"#/1, {2}", [&](const jnode*& v) { return Jnode__GetJnodeWithList(nested, 1, v, {2}); }, false,
           &nested[1], {1, "fail: param #/1 has invalid size (actual:3)", P}},
          {"#/2, {0,2}", [&](const jnode*& v) { return Jnode__GetJnodeWithList(nested, 2, v, {0, 2}); }, true,
           nullptr, {1, "fail: param #/2 has invalid type", G}},
          {"#/9, {0}", [&](const jnode*& v) { return Jnode__GetJnodeWithList(nested, 9, v, {0}); }, true,
           nullptr, {4, "done: param #/9 is absent", G}},
          {"#/9, {2}", [&](const jnode*& v) { return Jnode__GetJnodeWithList(nested, 9, v, {2}); }, false, start,
           {4, "done: param #/9 is absent", G}},
      },
      shared);
}

// One node for every call and both forms, so a pointer handed out once stays
// valid and equal for the life of the process.
TEST(JnodeGetJnodeWithList, SharedEmptyNodeIsTheSameEachTime) {
  const jnode* member = nullptr;
  const jnode* other = nullptr;
  const jnode* item = nullptr;
  ASSERT_TRUE(Jnode__GetJnodeWithList(M(), "missing", member, {0, 2}));
  ASSERT_TRUE(Jnode__GetJnodeWithList(M(), "s", other, {0}));
  ASSERT_TRUE(Jnode__GetJnodeWithList(V("three"), 7, item, {0, 1}));
  EXPECT_EQ(member, other);
  EXPECT_EQ(member, item);
  EXPECT_EQ(to_string(*member, false), "[]");
}

TEST(JnodeGetJnodeWithList, RequiredLengthZeroThrows) {
  struct {
    const char* what_;
    std::function<bool(const jnode*&)> call_;
  } const table[] = {
      {"present member", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "empty", v, size_t(0)); }},
      {"absent member", [](const jnode*& v) { return Jnode__GetJnodeWithList(M(), "missing", v, size_t(0)); }},
      {"present item", [](const jnode*& v) { return Jnode__GetJnodeWithList(V("nested"), 0, v, size_t(0)); }},
      {"absent item", [](const jnode*& v) { return Jnode__GetJnodeWithList(V("nested"), 9, v, size_t(0)); }},
  };
  const jnode untouched;
  for (const auto& row : table) {
    SCOPED_TRACE(row.what_);
    LogCapture__Clear();
    const jnode* value = &untouched;
    EXPECT_THROW(row.call_(value), Tarn::unsupported_error);
    EXPECT_EQ(value, &untouched);
    ExpectOnly({1, "fail: unsupported_error (size:0)", "Jnode__GetJnodeWithList"});
  }
}

}  // namespace
