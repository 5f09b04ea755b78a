// jnode: the SDK's in-memory JSON value, and its text conversions.
//
// A jnode is a tagged union holding exactly one of seven kinds of value. It
// owns its whole subtree by value (no sharing, no parent links): copying a
// node copies the subtree, destroying it destroys the subtree. Every integer,
// whatever its width or signedness, is held as int64_t.
//
// Threads: no locking and no shared state; several threads may read one tree
// while nobody writes it.
//
// Errors: the as...Ref accessors, asDouble and from_string/from_file throw
// std::runtime_error with the texts given below; JsonCpp's own exceptions
// (Json::LogicError for an integer above the int64 range, Json::RuntimeError
// for a failed operator>>) pass through. Nothing here logs: callers log.
//
// Parsing, printing and destruction recurse once per nesting level. Texts are
// therefore refused when their first value lies inside more than 128 nested
// arrays or objects, which keeps a parse within a small (coroutine) stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace Tarn { namespace Support {

enum class jnode_type : int8_t {
  kBOOL = 0,
  kINT64 = 1,
  kDOUBLE = 2,
  kJNODE_MAP = 3,
  kJNODE_VECTOR = 4,
  kSTRING = 5,
  kNULLPTR = 6,
};

class jnode;

// Object members, iterated in ascending byte order of their keys.
using jnode_map = std::map<std::string, jnode>;
// Array items, in document order.
using jnode_vector = std::vector<jnode>;

class jnode {
 public:
  // A null node.
  jnode() noexcept : jnode_type_(jnode_type::kNULLPTR) { jnode_data_.nullptr_ = nullptr; }
  ~jnode() { destroy_data(); }

  // Deep copy.
  jnode(const jnode& aOther) noexcept : jnode_type_(aOther.jnode_type_) {
    init_copy_data(aOther.jnode_data_);
  }
  // The source keeps its kind: a container or string is left empty, a scalar
  // keeps its value.
  jnode(jnode&& aOther) noexcept : jnode_type_(aOther.jnode_type_) {
    init_move_data(std::move(aOther.jnode_data_));
  }
  // Assigning a node from inside this node's own subtree is safe.
  jnode& operator=(const jnode& aOther) noexcept;
  jnode& operator=(jnode&& aOther) noexcept;

  // Integers of every width become kINT64; a uint64_t above INT64_MAX keeps
  // its 64 bits and so reads back negative.
  explicit jnode(const uint16_t& aValue) noexcept : jnode_type_(jnode_type::kINT64) {
    jnode_data_.int64_ = static_cast<int64_t>(aValue);
  }
  explicit jnode(const int32_t& aValue) noexcept : jnode_type_(jnode_type::kINT64) {
    jnode_data_.int64_ = static_cast<int64_t>(aValue);
  }
  explicit jnode(int32_t&& aValue) noexcept : jnode_type_(jnode_type::kINT64) {
    jnode_data_.int64_ = static_cast<int64_t>(aValue);
  }
  explicit jnode(const int64_t& aValue) noexcept : jnode_type_(jnode_type::kINT64) {
    jnode_data_.int64_ = aValue;
  }
  explicit jnode(int64_t&& aValue) noexcept : jnode_type_(jnode_type::kINT64) {
    jnode_data_.int64_ = aValue;
  }
  explicit jnode(const uint32_t& aValue) noexcept : jnode_type_(jnode_type::kINT64) {
    jnode_data_.int64_ = static_cast<int64_t>(aValue);
  }
  explicit jnode(uint32_t&& aValue) noexcept : jnode_type_(jnode_type::kINT64) {
    jnode_data_.int64_ = static_cast<int64_t>(aValue);
  }
  explicit jnode(const uint64_t& aValue) noexcept : jnode_type_(jnode_type::kINT64) {
    jnode_data_.int64_ = static_cast<int64_t>(aValue);
  }
  explicit jnode(uint64_t&& aValue) noexcept : jnode_type_(jnode_type::kINT64) {
    jnode_data_.int64_ = static_cast<int64_t>(aValue);
  }
  explicit jnode(const bool& aValue) noexcept : jnode_type_(jnode_type::kBOOL) {
    jnode_data_.bool_ = aValue;
  }
  explicit jnode(bool&& aValue) noexcept : jnode_type_(jnode_type::kBOOL) {
    jnode_data_.bool_ = aValue;
  }
  explicit jnode(const double& aValue) noexcept : jnode_type_(jnode_type::kDOUBLE) {
    jnode_data_.double_ = aValue;
  }
  explicit jnode(double&& aValue) noexcept : jnode_type_(jnode_type::kDOUBLE) {
    jnode_data_.double_ = aValue;
  }
  explicit jnode(const jnode_map& aValue) noexcept : jnode_type_(jnode_type::kJNODE_MAP) {
    new (&jnode_data_.jnode_map_) jnode_map(aValue);
  }
  explicit jnode(jnode_map&& aValue) noexcept : jnode_type_(jnode_type::kJNODE_MAP) {
    new (&jnode_data_.jnode_map_) jnode_map(std::move(aValue));
  }
  explicit jnode(const jnode_vector& aValue) noexcept : jnode_type_(jnode_type::kJNODE_VECTOR) {
    new (&jnode_data_.jnode_vector_) jnode_vector(aValue);
  }
  explicit jnode(jnode_vector&& aValue) noexcept : jnode_type_(jnode_type::kJNODE_VECTOR) {
    new (&jnode_data_.jnode_vector_) jnode_vector(std::move(aValue));
  }
  explicit jnode(const std::string& aValue) noexcept : jnode_type_(jnode_type::kSTRING) {
    new (&jnode_data_.string_) std::string(aValue);
  }
  explicit jnode(std::string&& aValue) noexcept : jnode_type_(jnode_type::kSTRING) {
    new (&jnode_data_.string_) std::string(std::move(aValue));
  }
  // aValue must not be null.
  explicit jnode(const char* aValue) noexcept : jnode_type_(jnode_type::kSTRING) {
    new (&jnode_data_.string_) std::string(aValue);
  }
  explicit jnode(const std::nullptr_t&) noexcept : jnode_type_(jnode_type::kNULLPTR) {
    jnode_data_.nullptr_ = nullptr;
  }
  explicit jnode(std::nullptr_t&&) noexcept : jnode_type_(jnode_type::kNULLPTR) {
    jnode_data_.nullptr_ = nullptr;
  }

  jnode_type get_type() const { return jnode_type_; }

  // Each accepts exactly its own kind and converts nothing; the non-const
  // forms give write access in place.
  bool& asBoolRef() { check(jnode_type::kBOOL, "variant::asBoolRef(): wrong type"); return jnode_data_.bool_; }
  const bool& asBoolRef() const { check(jnode_type::kBOOL, "variant::asBoolRef(): wrong type"); return jnode_data_.bool_; }
  double& asDoubleRef() { check(jnode_type::kDOUBLE, "variant::asDoubleRef(): wrong type"); return jnode_data_.double_; }
  const double& asDoubleRef() const { check(jnode_type::kDOUBLE, "variant::asDoubleRef(): wrong type"); return jnode_data_.double_; }
  int64_t& asIntRef() { check(jnode_type::kINT64, "variant::asIntRef(): wrong type"); return jnode_data_.int64_; }
  const int64_t& asIntRef() const { check(jnode_type::kINT64, "variant::asIntRef(): wrong type"); return jnode_data_.int64_; }
  jnode_map& asMapRef() { check(jnode_type::kJNODE_MAP, "variant::asMapRef(): wrong type"); return jnode_data_.jnode_map_; }
  const jnode_map& asMapRef() const { check(jnode_type::kJNODE_MAP, "variant::asMapRef(): wrong type"); return jnode_data_.jnode_map_; }
  jnode_vector& asVectorRef() { check(jnode_type::kJNODE_VECTOR, "variant::asVectorRef(): wrong type"); return jnode_data_.jnode_vector_; }
  const jnode_vector& asVectorRef() const { check(jnode_type::kJNODE_VECTOR, "variant::asVectorRef(): wrong type"); return jnode_data_.jnode_vector_; }
  std::string& asStringRef() { check(jnode_type::kSTRING, "variant::asStringRef(): wrong type"); return jnode_data_.string_; }
  const std::string& asStringRef() const { check(jnode_type::kSTRING, "variant::asStringRef(): wrong type"); return jnode_data_.string_; }

  // The one converting accessor: kINT64 (to the nearest double) or kDOUBLE.
  double asDouble() const {
    if (jnode_type_ == jnode_type::kINT64) return static_cast<double>(jnode_data_.int64_);
    if (jnode_type_ == jnode_type::kDOUBLE) return jnode_data_.double_;
    throw std::runtime_error("variant::as_int_val(): wrong type");
  }

 private:
  union jnode_data {
    jnode_data() {}
    ~jnode_data() {}
    bool bool_;
    double double_;
    int64_t int64_;
    jnode_map jnode_map_;
    jnode_vector jnode_vector_;
    std::string string_;
    std::nullptr_t nullptr_;
  };

  void check(jnode_type aType, const char* aMessage) const {
    if (jnode_type_ != aType) throw std::runtime_error(aMessage);
  }

  // Union lifetime, driven by jnode_type_: destroy the live member; construct
  // the member from a source of the same kind; assign member to member when
  // both sides already hold the same kind.
  void destroy_data() noexcept;
  void init_copy_data(const jnode_data& aData) noexcept;
  void init_move_data(jnode_data&& aData) noexcept;
  void copy_data(const jnode_data& aData) noexcept;
  void move_data(jnode_data&& aData) noexcept;

  jnode_type jnode_type_;
  jnode_data jnode_data_;
};

// An array node built from a list of nodes, in list order: jlist{} is [].
class jlist : public jnode {
 public:
  jlist(std::initializer_list<jnode> aList) : jnode(jnode_vector(aList)) {}
};

// Parses the first JSON value of the text (comments allowed and dropped, text
// behind the value ignored). Whole real numbers (3.0, 1e2) become integers.
// Throws std::runtime_error "from_string(std::string_ aJsonString): " followed
// by the parser's error list, or by "* Line L, Column C\n  Nesting deeper than
// 128 arrays or objects\n" for too deep a text.
jnode from_string(const std::string& aJsonString);

// Parses a file's content as from_string does. A file that cannot be opened
// yields an empty object node, without an exception.
jnode from_file(const std::string& aFilePath);

// Pretty: multi-line, indented, ending in a line feed. Compact: one line, no
// line feed. Object members come out in ascending key order.
std::string to_string(const jnode& aJnode, bool aPrettyFormatting);
std::string to_string(const jnode_map& aJnodeMap, bool aPrettyFormatting);
std::string to_string(const jnode_vector& aJnodeVector, bool aPrettyFormatting);

// Reads one JSON value, consuming the whole stream; on a parse failure (too
// deep a text included) JsonCpp's Json::RuntimeError is thrown and aJnode is
// left unchanged.
std::istream& operator>>(std::istream& aStream, jnode& aJnode);
// Write the compact text.
std::ostream& operator<<(std::ostream& aStream, const jnode& aJnode);
std::ostream& operator<<(std::ostream& aStream, const jnode_map& aJnodeMap);
std::ostream& operator<<(std::ostream& aStream, const jnode_vector& aJnodeVector);

}}  // namespace Tarn::Support
