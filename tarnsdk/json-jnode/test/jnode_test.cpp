#include <tarn/support/jnode.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>
#include <pthread.h>
#include <unistd.h>

namespace {

using namespace Tarn::Support;

// A file in a fresh temporary directory, removed with the fixture.
class temp_file {
 public:
  explicit temp_file(const std::string& aContent) {
    char dir[] = "/tmp/jnode_test.XXXXXX";
    dir_ = mkdtemp(dir);
    path_ = dir_ + "/doc.json";
    std::ofstream(path_) << aContent;
  }
  ~temp_file() {
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::string path_;
};

std::string Nested(size_t aDepth) {
  return std::string(aDepth, '[') + std::string(aDepth, ']');
}

TEST(Jnode, ParsesEveryKind) {
  struct {
    const char* text_;
    jnode_type type_;
    const char* compact_;
  } const table[] = {
      {"3.0", jnode_type::kINT64, "3"},
      {"1e2", jnode_type::kINT64, "100"},
      {"-5", jnode_type::kINT64, "-5"},
      {"-0.0", jnode_type::kINT64, "0"},
      {"9223372036854775807", jnode_type::kINT64, "9223372036854775807"},
      {"-9223372036854775808", jnode_type::kINT64, "-9223372036854775808"},
      {"3.5", jnode_type::kDOUBLE, "3.5"},
      {"0.125", jnode_type::kDOUBLE, "0.125"},
      {"true", jnode_type::kBOOL, "true"},
      {"null", jnode_type::kNULLPTR, "null"},
      {"\"a\\\"b\\u00e9\"", jnode_type::kSTRING, "\"a\\\"b\\u00e9\""},
      {"[1, [], {}, null, \"x\"]", jnode_type::kJNODE_VECTOR, "[1,[],{},null,\"x\"]"},
      {"{\"b\": {\"c\": [true]}, \"a\": 2.5}", jnode_type::kJNODE_MAP, "{\"a\":2.5,\"b\":{\"c\":[true]}}"},
      // Only the first value counts; what follows it is not examined.
      {"{} and other words", jnode_type::kJNODE_MAP, "{}"},
      // Comments are accepted and dropped.
      {"// line\n{\"a\": /* block */ 1} // tail", jnode_type::kJNODE_MAP, "{\"a\":1}"},
      {"[1, /* in */ 2]", jnode_type::kJNODE_VECTOR, "[1,2]"},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.text_);
    const jnode node = from_string(row.text_);
    EXPECT_EQ(node.get_type(), row.type_);
    EXPECT_EQ(to_string(node, false), row.compact_);
  }
  EXPECT_EQ(from_string("3.0").asIntRef(), 3);
  EXPECT_EQ(from_string("1e2").asIntRef(), 100);
  EXPECT_EQ(from_string("3.5").asDoubleRef(), 3.5);
  EXPECT_EQ(from_string("-5").asIntRef(), -5);
}

TEST(Jnode, ParseFailures) {
  const std::string prefix = "from_string(std::string_ aJsonString): ";
  for (const char* text : {"", "   ", "{\"a\": 1", "[1, 2", "{\"a\" 1}", "nul", "// only a comment"}) {
    SCOPED_TRACE(text);
    try {
      from_string(text);
      ADD_FAILURE() << "parsed";
    } catch (const std::runtime_error& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.compare(0, prefix.size(), prefix), 0) << what;
      EXPECT_GT(what.size(), prefix.size()) << "no parser message";
    }
  }
  // Above the int64 range: JsonCpp's logic error, not the parse error above.
  for (const char* text : {"18446744073709551615", "[9223372036854775808]", "1e19"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(from_string(text), Json::LogicError);
    try {
      from_string(text);
    } catch (const std::runtime_error&) {
      ADD_FAILURE() << "reported as a parse error";
    } catch (const std::exception&) {
    }
  }
}

// AddressSanitizer's redzones make the frames of the recursive conversions
// about three times as large as in a plain build (measured: 128 levels take
// some 60 KiB plain, 170 KiB instrumented). The small stack grows with them,
// so that the test still checks the nesting bound and not the
// instrumentation.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kStackScale = 3;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t kStackScale = 3;
#else
constexpr size_t kStackScale = 1;
#endif
#else
constexpr size_t kStackScale = 1;
#endif

// Parse, print and destroy a document on a thread whose stack is as small as
// a download coroutine's (128 KiB); returns the outcome as text.
std::string OnSmallStack(const std::string& aText) {
  struct job {
    const std::string* text_;
    std::string outcome_;
  } work{&aText, {}};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kStackScale * 128 * 1024);
  pthread_t thread;
  const int created = pthread_create(
      &thread, &attr,
      [](void* aJob) -> void* {
        job& work = *static_cast<job*>(aJob);
        try {
          work.outcome_ = to_string(from_string(*work.text_), false);
        } catch (const std::exception& e) {
          work.outcome_ = std::string("throws: ") + e.what();
        }
        return nullptr;
      },
      &work);
  pthread_attr_destroy(&attr);
  if (created != 0) return "no thread";
  pthread_join(thread, nullptr);
  return work.outcome_;
}

// The reader and the conversions recurse per nesting level; a hostile
// document must be refused before it can exhaust a coroutine stack.
TEST(Jnode, NestingIsBounded) {
  const std::string prefix = "from_string(std::string_ aJsonString): ";
  EXPECT_EQ(OnSmallStack(Nested(128)), Nested(128));
  EXPECT_EQ(OnSmallStack("{\"a\":" + Nested(127) + "}"), "{\"a\":" + Nested(127) + "}");
  EXPECT_EQ(OnSmallStack(Nested(129)),
            "throws: " + prefix + "* Line 1, Column 129\n  Nesting deeper than 128 arrays or objects\n");
  EXPECT_EQ(OnSmallStack("\n  " + Nested(1000)),
            "throws: " + prefix + "* Line 2, Column 131\n  Nesting deeper than 128 arrays or objects\n");
  EXPECT_EQ(OnSmallStack(std::string(100000, '[')).rfind("throws: " + prefix, 0), 0u);

  // The bound sees the text as the reader does: a line comment ends at CR as
  // well as LF, CR and CR LF end a line in the position, and only the
  // reader's own white space comes before the first value.
  const std::string nesting = "  Nesting deeper than 128 arrays or objects\n";
  struct {
    std::string text_;
    std::string outcome_;
  } const deep[] = {
      {"// c\r" + Nested(129), "throws: " + prefix + "* Line 2, Column 129\n" + nesting},
      {"// c\r" + Nested(1000), "throws: " + prefix + "* Line 2, Column 129\n" + nesting},
      {"// c\r\n" + Nested(1000), "throws: " + prefix + "* Line 2, Column 129\n" + nesting},
      {"\r  " + Nested(1000), "throws: " + prefix + "* Line 2, Column 131\n" + nesting},
      {"\r\n\r\n" + Nested(1000), "throws: " + prefix + "* Line 3, Column 129\n" + nesting},
      {"\v" + Nested(200), "throws: " + prefix + "* Line 1, Column 1\n  Syntax error: value, object or array expected.\n"},
  };
  for (const auto& row : deep) {
    SCOPED_TRACE(row.text_.substr(0, 8));
    EXPECT_EQ(OnSmallStack(row.text_), row.outcome_);
  }

  // Brackets inside strings and comments, and text after the first value,
  // are not nesting.
  const std::string brackets(5000, '[');
  struct {
    std::string text_;
    std::string compact_;
  } const table[] = {
      {"[\"" + brackets + "\"]", "[\"" + brackets + "\"]"},
      {"[\"\\\"" + brackets + "\"]", "[\"\\\"" + brackets + "\"]"},
      {"// " + brackets + "\n[1]", "[1]"},
      {"[/* " + brackets + " */ 1]", "[1]"},
      {"{} " + brackets, "{}"},
      {"7 " + brackets, "7"},
      {"\"s\" " + brackets, "\"s\""},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.text_.substr(0, 12));
    EXPECT_EQ(OnSmallStack(row.text_), row.compact_);
  }
}

TEST(Jnode, FromFile) {
  const jnode missing = from_file("/nonexistent/dir/summary.json");
  EXPECT_EQ(missing.get_type(), jnode_type::kJNODE_MAP);
  EXPECT_EQ(to_string(missing, false), "{}");

  const temp_file good("{\"length\": 12, // size\n \"tracks\": []}\ntrailing");
  EXPECT_EQ(to_string(from_file(good.path()), false), "{\"length\":12,\"tracks\":[]}");

  const temp_file bad("{\"length\": ");
  try {
    from_file(bad.path());
    ADD_FAILURE() << "parsed";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("from_string(std::string_ aJsonString): ", 0), 0u) << e.what();
  }
  // A directory opens but has no content to parse.
  EXPECT_THROW(from_file(good.dir()), std::runtime_error);
}

TEST(Jnode, Texts) {
  jnode_map ba;
  ba.emplace("b", jnode(int32_t(1)));
  ba.emplace("a", jnode("x"));
  struct {
    std::string got_;
    const char* expected_;
  } const table[] = {
      {to_string(jnode(), false), "null"},
      {to_string(jlist{}, false), "[]"},
      {to_string(jnode_map(), true), "{}\n"},
      {to_string(jnode_map(), false), "{}"},
      {to_string(jnode_vector(), false), "[]"},
      {to_string(jnode(jnode_map()), false), "{}"},
      {to_string(ba, false), "{\"a\":\"x\",\"b\":1}"},
      {to_string(jnode(ba), false), "{\"a\":\"x\",\"b\":1}"},
      {to_string(ba, true), "{\n   \"a\" : \"x\",\n   \"b\" : 1\n}\n"},
      {to_string(jlist{jnode(true), jnode(2.5), jnode(nullptr)}, false), "[true,2.5,null]"},
      {to_string(jnode_vector{jnode(int64_t(-1)), jnode(jnode_vector())}, false), "[-1,[]]"},
      {to_string(jlist{jnode(int64_t(1))}, true), "[ 1 ]\n"},
      {to_string(jnode("t\"\n"), false), "\"t\\\"\\n\""},
  };
  for (const auto& row : table) EXPECT_EQ(row.got_, row.expected_);

  std::ostringstream out;
  out << jnode(ba) << '|' << ba << '|' << jnode_vector{jnode(int32_t(7))};
  EXPECT_EQ(out.str(), "{\"a\":\"x\",\"b\":1}|{\"a\":\"x\",\"b\":1}|[7]");
}

TEST(Jnode, ValueConstructors) {
  const uint16_t u16 = 65535;
  const uint64_t u64 = std::numeric_limits<uint64_t>::max();
  const std::string text = "copied";
  struct {
    jnode node_;
    jnode_type type_;
    const char* compact_;
  } const table[] = {
      {jnode(u16), jnode_type::kINT64, "65535"},
      {jnode(int32_t(-7)), jnode_type::kINT64, "-7"},
      {jnode(std::numeric_limits<int64_t>::min()), jnode_type::kINT64, "-9223372036854775808"},
      {jnode(uint32_t(4294967295u)), jnode_type::kINT64, "4294967295"},
      {jnode(u64), jnode_type::kINT64, "-1"},
      {jnode(uint64_t(9223372036854775808ull)), jnode_type::kINT64, "-9223372036854775808"},
      {jnode(true), jnode_type::kBOOL, "true"},
      {jnode(0.25), jnode_type::kDOUBLE, "0.25"},
      {jnode(text), jnode_type::kSTRING, "\"copied\""},
      {jnode(std::string("moved")), jnode_type::kSTRING, "\"moved\""},
      {jnode("chars"), jnode_type::kSTRING, "\"chars\""},
      {jnode(nullptr), jnode_type::kNULLPTR, "null"},
      {jnode(), jnode_type::kNULLPTR, "null"},
      {jlist{}, jnode_type::kJNODE_VECTOR, "[]"},
      {jlist{jnode("a"), jnode(int32_t(1))}, jnode_type::kJNODE_VECTOR, "[\"a\",1]"},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.compact_);
    EXPECT_EQ(row.node_.get_type(), row.type_);
    EXPECT_EQ(to_string(row.node_, false), row.compact_);
  }
  EXPECT_EQ(jnode(u64).asIntRef(), -1);
  EXPECT_EQ(jnode(u16).asIntRef(), 65535);
}

// Every kind, with each accessor tried on it: only its own kind passes.
TEST(Jnode, TypedAccessRefusesOtherKinds) {
  const jnode nodes[] = {jnode(true),         jnode(int64_t(7)), jnode(2.5), jnode(jnode_map()),
                         jnode(jnode_vector()), jnode("s"),        jnode()};
  struct {
    jnode_type accepts_;
    const char* message_;
    std::function<void(jnode&)> call_;
    std::function<void(const jnode&)> const_call_;
  } const accessors[] = {
      {jnode_type::kBOOL, "variant::asBoolRef(): wrong type", [](jnode& n) { n.asBoolRef(); },
       [](const jnode& n) { n.asBoolRef(); }},
      {jnode_type::kINT64, "variant::asIntRef(): wrong type", [](jnode& n) { n.asIntRef(); },
       [](const jnode& n) { n.asIntRef(); }},
      {jnode_type::kDOUBLE, "variant::asDoubleRef(): wrong type", [](jnode& n) { n.asDoubleRef(); },
       [](const jnode& n) { n.asDoubleRef(); }},
      {jnode_type::kJNODE_MAP, "variant::asMapRef(): wrong type", [](jnode& n) { n.asMapRef(); },
       [](const jnode& n) { n.asMapRef(); }},
      {jnode_type::kJNODE_VECTOR, "variant::asVectorRef(): wrong type", [](jnode& n) { n.asVectorRef(); },
       [](const jnode& n) { n.asVectorRef(); }},
      {jnode_type::kSTRING, "variant::asStringRef(): wrong type", [](jnode& n) { n.asStringRef(); },
       [](const jnode& n) { n.asStringRef(); }},
  };
  for (const jnode& original : nodes) {
    for (const auto& accessor : accessors) {
      SCOPED_TRACE(std::string(accessor.message_) + " on " + to_string(original, false));
      jnode node = original;
      if (node.get_type() == accessor.accepts_) {
        EXPECT_NO_THROW(accessor.call_(node));
        EXPECT_NO_THROW(accessor.const_call_(node));
        continue;
      }
      for (int form = 0; form < 2; ++form) {
        try {
          form == 0 ? accessor.call_(node) : accessor.const_call_(node);
          ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), accessor.message_);
        }
      }
    }
    // asDouble converts an integer and passes a double; nothing else.
    if (original.get_type() == jnode_type::kINT64) {
      EXPECT_EQ(original.asDouble(), 7.0);
    } else if (original.get_type() == jnode_type::kDOUBLE) {
      EXPECT_EQ(original.asDouble(), 2.5);
    } else {
      try {
        original.asDouble();
        ADD_FAILURE() << "asDouble accepted " << original;
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "variant::as_int_val(): wrong type");
      }
    }
  }
}

TEST(Jnode, WriteAccessInPlace) {
  jnode root = from_string("{\"a\": [1, 2], \"s\": \"x\"}");
  root.asMapRef()["a"].asVectorRef()[1].asIntRef() = 5;
  root.asMapRef()["s"].asStringRef() += "y";
  root.asMapRef()["n"] = jnode(false);
  EXPECT_EQ(to_string(root, false), "{\"a\":[1,5],\"n\":false,\"s\":\"xy\"}");
}

TEST(Jnode, CopyIsDeep) {
  const jnode original = from_string("{\"a\": [1, {\"b\": \"x\"}]}");
  jnode copy = original;
  copy.asMapRef()["a"].asVectorRef()[1].asMapRef()["b"].asStringRef() = "changed";
  EXPECT_EQ(to_string(original, false), "{\"a\":[1,{\"b\":\"x\"}]}");
  EXPECT_EQ(to_string(copy, false), "{\"a\":[1,{\"b\":\"changed\"}]}");
}

TEST(Jnode, MovedFromKeepsItsKind) {
  // A growing jnode_vector moves its items instead of copying whole subtrees.
  static_assert(std::is_nothrow_move_constructible_v<jnode>);
  static_assert(std::is_nothrow_move_assignable_v<jnode>);
  // No silent conversions into nodes.
  static_assert(!std::is_convertible_v<int32_t, jnode>);
  static_assert(!std::is_convertible_v<std::string, jnode>);
  struct {
    jnode source_;
    const char* after_;
  } table[] = {
      {jlist{jnode(int32_t(1))}, "[]"},
      {from_string("{\"a\":1}"), "{}"},
      {jnode("text"), "\"\""},
      {jnode(int64_t(42)), "42"},
      {jnode(true), "true"},
      {jnode(1.5), "1.5"},
      {jnode(), "null"},
  };
  for (auto& row : table) {
    const std::string before = to_string(row.source_, false);
    SCOPED_TRACE(before);
    const jnode_type type = row.source_.get_type();
    jnode constructed(std::move(row.source_));
    EXPECT_EQ(to_string(constructed, false), before);
    EXPECT_EQ(row.source_.get_type(), type);
    EXPECT_EQ(to_string(row.source_, false), row.after_);

    // Move assignment, onto a node of another kind and of the same kind.
    for (jnode target : {jnode(int32_t(0)), jnode(constructed)}) {
      jnode source = constructed;
      target = std::move(source);
      EXPECT_EQ(to_string(target, false), before);
      EXPECT_EQ(source.get_type(), type);
      EXPECT_EQ(to_string(source, false), row.after_);
    }
  }
}

TEST(Jnode, CopyAssignmentChangesKind) {
  jnode map_node = from_string("{\"a\":1}");
  const jnode text("s");
  map_node = text;
  EXPECT_EQ(map_node.get_type(), jnode_type::kSTRING);
  EXPECT_EQ(map_node.asStringRef(), "s");

  jnode other("longer text in place");
  other = text;
  EXPECT_EQ(other.asStringRef(), "s");
  EXPECT_EQ(text.asStringRef(), "s");

  jnode scalar(int32_t(3));
  scalar = from_string("[1,2]");
  EXPECT_EQ(to_string(scalar, false), "[1,2]");
  scalar = jnode(2.5);
  EXPECT_EQ(scalar.asDoubleRef(), 2.5);

  jnode self = from_string("{\"a\":[1]}");
  const jnode& alias = self;
  self = alias;
  EXPECT_EQ(to_string(self, false), "{\"a\":[1]}");
  self = std::move(self);
  EXPECT_EQ(to_string(self, false), "{\"a\":[1]}");
}

// Walking down a tree by assigning a child to its parent: the child lives in
// the subtree the assignment replaces, and must be taken out before the old
// value goes.
TEST(Jnode, AssignFromOwnSubtree) {
  const char* doc = "{\"a\": {\"b\": [\"x\", {\"c\": \"deep text that is not a small string\"}]}}";
  struct {
    std::function<void(jnode&)> assign_;
    const char* expected_;
  } const table[] = {
      {[](jnode& n) { n = n.asMapRef()["a"]; }, "{\"b\":[\"x\",{\"c\":\"deep text that is not a small string\"}]}"},
      {[](jnode& n) { n = std::move(n.asMapRef()["a"]); }, "{\"b\":[\"x\",{\"c\":\"deep text that is not a small string\"}]}"},
      {[](jnode& n) { n = n.asMapRef()["a"].asMapRef()["b"]; }, "[\"x\",{\"c\":\"deep text that is not a small string\"}]"},
      {[](jnode& n) { n = std::move(n.asMapRef()["a"].asMapRef()["b"]); }, "[\"x\",{\"c\":\"deep text that is not a small string\"}]"},
      {[](jnode& n) { n = n.asMapRef()["a"].asMapRef()["b"].asVectorRef()[1].asMapRef()["c"]; }, "\"deep text that is not a small string\""},
      {[](jnode& n) { n = std::move(n.asMapRef()["a"].asMapRef()["b"].asVectorRef()[1].asMapRef()["c"]); }, "\"deep text that is not a small string\""},
      {[](jnode& n) { n = n.asMapRef()["a"].asMapRef()["b"].asVectorRef()[1]; }, "{\"c\":\"deep text that is not a small string\"}"},
      {[](jnode& n) {
         jnode& b = n.asMapRef()["a"].asMapRef()["b"];
         b = b.asVectorRef()[1];
       },
       "{\"a\":{\"b\":{\"c\":\"deep text that is not a small string\"}}}"},
      {[](jnode& n) {
         jnode& b = n.asMapRef()["a"].asMapRef()["b"];
         b = std::move(b.asVectorRef()[0]);
       },
       "{\"a\":{\"b\":\"x\"}}"},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.expected_);
    jnode root = from_string(doc);
    row.assign_(root);
    EXPECT_EQ(to_string(root, false), row.expected_);
  }
}

TEST(Jnode, StreamExtraction) {
  std::istringstream in("{\"a\": [1, 2.5]} [true]");
  jnode node;
  in >> node;
  EXPECT_EQ(to_string(node, false), "{\"a\":[1,2.5]}");

  jnode kept = from_string("{\"keep\":1}");
  std::istringstream bad("{\"a\": ");
  EXPECT_THROW(bad >> kept, Json::RuntimeError);
  EXPECT_EQ(to_string(kept, false), "{\"keep\":1}");

  std::istringstream big("18446744073709551615");
  EXPECT_THROW(big >> kept, Json::LogicError);
  EXPECT_EQ(to_string(kept, false), "{\"keep\":1}");

  // The same nesting bound as from_string.
  std::istringstream deepest(Nested(128));
  deepest >> node;
  EXPECT_EQ(to_string(node, false), Nested(128));
  std::istringstream deep("\n" + Nested(600));
  try {
    deep >> kept;
    ADD_FAILURE() << "parsed";
  } catch (const Json::RuntimeError& e) {
    EXPECT_STREQ(e.what(), "* Line 2, Column 129\n  Nesting deeper than 128 arrays or objects\n");
  }
  EXPECT_EQ(to_string(kept, false), "{\"keep\":1}");

  // The extraction skips a leading byte order mark; the bound looks behind it.
  const std::string bom = "\xEF\xBB\xBF";
  std::istringstream marked(bom + "[1]");
  marked >> node;
  EXPECT_EQ(to_string(node, false), "[1]");
  std::istringstream marked_deep(bom + "\n" + Nested(600));
  try {
    marked_deep >> kept;
    ADD_FAILURE() << "parsed";
  } catch (const Json::RuntimeError& e) {
    EXPECT_STREQ(e.what(), "* Line 2, Column 129\n  Nesting deeper than 128 arrays or objects\n");
  }
  EXPECT_EQ(to_string(kept, false), "{\"keep\":1}");
}

}  // namespace
