// The value tree's union lifetime and its conversions to and from JsonCpp.
// JsonCpp stays inside this file.
#include <tarn/support/jnode.h>

#include <json/json.h>

#include <fstream>
#include <istream>
#include <iterator>
#include <ostream>
#include <sstream>

namespace Tarn { namespace Support {

void jnode::destroy_data() noexcept {
  switch (jnode_type_) {
    case jnode_type::kJNODE_MAP: jnode_data_.jnode_map_.~jnode_map(); break;
    case jnode_type::kJNODE_VECTOR: jnode_data_.jnode_vector_.~jnode_vector(); break;
    case jnode_type::kSTRING: jnode_data_.string_.~basic_string(); break;
    default: break;
  }
}

void jnode::init_copy_data(const jnode_data& aData) noexcept {
  switch (jnode_type_) {
    case jnode_type::kBOOL: jnode_data_.bool_ = aData.bool_; break;
    case jnode_type::kINT64: jnode_data_.int64_ = aData.int64_; break;
    case jnode_type::kDOUBLE: jnode_data_.double_ = aData.double_; break;
    case jnode_type::kJNODE_MAP: new (&jnode_data_.jnode_map_) jnode_map(aData.jnode_map_); break;
    case jnode_type::kJNODE_VECTOR: new (&jnode_data_.jnode_vector_) jnode_vector(aData.jnode_vector_); break;
    case jnode_type::kSTRING: new (&jnode_data_.string_) std::string(aData.string_); break;
    default: jnode_data_.nullptr_ = nullptr; break;
  }
}

void jnode::init_move_data(jnode_data&& aData) noexcept {
  switch (jnode_type_) {
    case jnode_type::kBOOL: jnode_data_.bool_ = aData.bool_; break;
    case jnode_type::kINT64: jnode_data_.int64_ = aData.int64_; break;
    case jnode_type::kDOUBLE: jnode_data_.double_ = aData.double_; break;
    case jnode_type::kJNODE_MAP: new (&jnode_data_.jnode_map_) jnode_map(std::move(aData.jnode_map_)); break;
    case jnode_type::kJNODE_VECTOR: new (&jnode_data_.jnode_vector_) jnode_vector(std::move(aData.jnode_vector_)); break;
    case jnode_type::kSTRING: new (&jnode_data_.string_) std::string(std::move(aData.string_)); break;
    default: jnode_data_.nullptr_ = nullptr; break;
  }
}

void jnode::copy_data(const jnode_data& aData) noexcept {
  switch (jnode_type_) {
    case jnode_type::kBOOL: jnode_data_.bool_ = aData.bool_; break;
    case jnode_type::kINT64: jnode_data_.int64_ = aData.int64_; break;
    case jnode_type::kDOUBLE: jnode_data_.double_ = aData.double_; break;
    case jnode_type::kJNODE_MAP: jnode_data_.jnode_map_ = aData.jnode_map_; break;
    case jnode_type::kJNODE_VECTOR: jnode_data_.jnode_vector_ = aData.jnode_vector_; break;
    case jnode_type::kSTRING: jnode_data_.string_ = aData.string_; break;
    default: jnode_data_.nullptr_ = nullptr; break;
  }
}

void jnode::move_data(jnode_data&& aData) noexcept {
  switch (jnode_type_) {
    case jnode_type::kBOOL: jnode_data_.bool_ = aData.bool_; break;
    case jnode_type::kINT64: jnode_data_.int64_ = aData.int64_; break;
    case jnode_type::kDOUBLE: jnode_data_.double_ = aData.double_; break;
    case jnode_type::kJNODE_MAP: jnode_data_.jnode_map_ = std::move(aData.jnode_map_); break;
    case jnode_type::kJNODE_VECTOR: jnode_data_.jnode_vector_ = std::move(aData.jnode_vector_); break;
    case jnode_type::kSTRING: jnode_data_.string_ = std::move(aData.string_); break;
    default: jnode_data_.nullptr_ = nullptr; break;
  }
}

// A map or vector node may be assigned one of its own descendants
// (node = node.asMapRef()["child"]). Overwriting or destroying the old
// container first would free the source while it is still being read, so
// such a node takes the source out into a temporary before it changes.
jnode& jnode::operator=(const jnode& aOther) noexcept {
  if (jnode_type_ == jnode_type::kJNODE_MAP || jnode_type_ == jnode_type::kJNODE_VECTOR) {
    jnode copy(aOther);
    return *this = std::move(copy);
  }
  if (jnode_type_ == aOther.jnode_type_) {
    copy_data(aOther.jnode_data_);
  } else {
    destroy_data();
    jnode_type_ = aOther.jnode_type_;
    init_copy_data(aOther.jnode_data_);
  }
  return *this;
}

jnode& jnode::operator=(jnode&& aOther) noexcept {
  jnode taken;
  jnode* source = &aOther;
  if (jnode_type_ == jnode_type::kJNODE_MAP || jnode_type_ == jnode_type::kJNODE_VECTOR) {
    // Move the source out first: it is left with its kind, empty, as after
    // any move, and this node's old subtree can then go safely.
    taken.jnode_type_ = aOther.jnode_type_;
    taken.init_move_data(std::move(aOther.jnode_data_));
    source = &taken;
  }
  if (jnode_type_ == source->jnode_type_) {
    move_data(std::move(source->jnode_data_));
  } else {
    destroy_data();
    jnode_type_ = source->jnode_type_;
    init_move_data(std::move(source->jnode_data_));
  }
  return *this;
}

namespace {

jnode _T_json_from_value(Json::Value& val) {
  if (val.isNull()) return jnode();
  // Holds for integer literals and for whole real numbers (3.0, 1e2) within
  // [-2^63, 2^64); asInt64 refuses the values above INT64_MAX with
  // Json::LogicError, which callers see unchanged.
  if (val.isIntegral()) return jnode(static_cast<int64_t>(val.asInt64()));
  if (val.isBool()) return jnode(val.asBool());
  if (val.isDouble()) return jnode(val.asDouble());
  if (val.isString()) return jnode(val.asString());
  if (val.isArray()) {
    // Sized once, items moved into place.
    jnode_vector items(val.size());
    for (Json::ArrayIndex i = 0; i < val.size(); ++i) items[i] = _T_json_from_value(val[i]);
    return jnode(std::move(items));
  }
  if (val.isObject()) {
    jnode_map members;
    for (const std::string& name : val.getMemberNames()) members[name] = _T_json_from_value(val[name]);
    return jnode(std::move(members));
  }
  return jnode();
}

Json::Value _T_jnode_to_json_value(const jnode& aJnode) {
  switch (aJnode.get_type()) {
    case jnode_type::kBOOL: return Json::Value(aJnode.asBoolRef());
    case jnode_type::kINT64: return Json::Value(static_cast<Json::Int64>(aJnode.asIntRef()));
    case jnode_type::kDOUBLE: return Json::Value(aJnode.asDoubleRef());
    case jnode_type::kJNODE_MAP: {
      Json::Value object(Json::objectValue);
      for (const auto& member : aJnode.asMapRef()) object[member.first] = _T_jnode_to_json_value(member.second);
      return object;
    }
    case jnode_type::kJNODE_VECTOR: {
      Json::Value array(Json::arrayValue);
      for (const jnode& item : aJnode.asVectorRef()) array.append(_T_jnode_to_json_value(item));
      return array;
    }
    case jnode_type::kSTRING: return Json::Value(aJnode.asStringRef());
    default: return Json::Value(Json::nullValue);
  }
}

Json::Value _T_map_to_json_value(const jnode_map& aJnodeMap) {
  Json::Value object(Json::objectValue);
  for (const auto& member : aJnodeMap) object[member.first] = _T_jnode_to_json_value(member.second);
  return object;
}

Json::Value _T_vector_to_json_value(const jnode_vector& aJnodeVector) {
  Json::Value array(Json::arrayValue);
  for (const jnode& item : aJnodeVector) array.append(_T_jnode_to_json_value(item));
  return array;
}

// JsonCpp's reader and the conversions here recurse once per nesting level,
// and a download parses its summary on a 128 KiB coroutine stack, where the
// reader alone overflows at a few hundred levels (its own limit is 1000).
// Texts whose first value nests deeper than this are refused before parsing.
constexpr size_t kMAX_NESTING = 128;

// The reader's white space; anything else before the first value is an
// error it reports itself.
bool _T_is_blank(char aChar) { return aChar == ' ' || aChar == '\t' || aChar == '\r' || aChar == '\n'; }

// Scans the first value of aText the way the reader tokenizes it (strings and
// comments skipped, a line comment ending at CR or LF, nothing after the first
// value examined). Returns false and sets aOffset to the bracket that opens
// level kMAX_NESTING + 1, or returns true.
bool _T_nesting_within_bound(const std::string& aText, size_t& aOffset) {
  const size_t size = aText.size();
  size_t depth = 0;
  for (size_t i = 0; i < size; ++i) {
    const char c = aText[i];
    if (c == '"') {
      for (++i; i < size && aText[i] != '"'; ++i) {
        if (aText[i] == '\\') ++i;
      }
      if (depth == 0) return true;
    } else if (c == '/' && i + 1 < size && aText[i + 1] == '/') {
      while (i < size && aText[i] != '\n' && aText[i] != '\r') ++i;
    } else if (c == '/' && i + 1 < size && aText[i + 1] == '*') {
      const size_t end = aText.find("*/", i + 2);
      if (end == std::string::npos) return true;
      i = end + 1;
    } else if (c == '[' || c == '{') {
      if (++depth > kMAX_NESTING) {
        aOffset = i;
        return false;
      }
    } else if (c == ']' || c == '}') {
      if (depth == 0 || --depth == 0) return true;
    } else if (depth == 0 && !_T_is_blank(c)) {
      return true;  // a scalar first value, or text the reader refuses
    }
  }
  return true;
}

// "* Line 3, Column 7\n  Nesting deeper than ...\n", as the reader formats
// its own errors: a line ends at LF, CR or CR LF.
std::string _T_nesting_error(const std::string& aText, size_t aOffset) {
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < aOffset; ++i) {
    if (aText[i] == '\r' && i + 1 < aOffset && aText[i + 1] == '\n') ++i;
    if (aText[i] == '\n' || aText[i] == '\r') {
      ++line;
      line_start = i + 1;
    }
  }
  return "* Line " + std::to_string(line) + ", Column " + std::to_string(aOffset - line_start + 1) + "\n  " +
         "Nesting deeper than " + std::to_string(kMAX_NESTING) + " arrays or objects\n";
}

// Json::Reader, StyledWriter and FastWriter are JsonCpp's legacy classes,
// kept for their exact behaviour (comments, any root value, stop after the
// first value; the writers' text layout).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string _T_write(const Json::Value& aRoot, bool aPrettyFormatting) {
  if (aPrettyFormatting) return Json::StyledWriter().write(aRoot);
  Json::FastWriter writer;
  writer.omitEndingLineFeed();
  return writer.write(aRoot);
}

bool _T_parse(const std::string& aText, Json::Value& aRoot, std::string& aErrors) {
  Json::Reader reader;
  if (reader.parse(aText, aRoot, true)) return true;
  aErrors = reader.getFormattedErrorMessages();
  return false;
}
#pragma GCC diagnostic pop

}  // namespace

jnode from_string(const std::string& aJsonString) {
  const std::string prefix = "from_string(std::string_ aJsonString): ";
  size_t offset = 0;
  if (!_T_nesting_within_bound(aJsonString, offset))
    throw std::runtime_error(prefix + _T_nesting_error(aJsonString, offset));
  Json::Value root;
  std::string errors;
  if (!_T_parse(aJsonString, root, errors))
    throw std::runtime_error(prefix + errors);
  return _T_json_from_value(root);
}

jnode from_file(const std::string& aFilePath) {
  std::ifstream file(aFilePath);
  if (!file.good()) return jnode(jnode_map());
  std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return from_string(content);
}

std::string to_string(const jnode& aJnode, bool aPrettyFormatting) {
  return _T_write(_T_jnode_to_json_value(aJnode), aPrettyFormatting);
}

std::string to_string(const jnode_map& aJnodeMap, bool aPrettyFormatting) {
  return _T_write(_T_map_to_json_value(aJnodeMap), aPrettyFormatting);
}

std::string to_string(const jnode_vector& aJnodeVector, bool aPrettyFormatting) {
  return _T_write(_T_vector_to_json_value(aJnodeVector), aPrettyFormatting);
}

std::istream& operator>>(std::istream& aStream, jnode& aJnode) {
  // JsonCpp's extraction takes the whole stream as well; taking it here first
  // lets the nesting bound apply as in from_string, reported the way the
  // extraction reports the texts it rejects.
  std::ostringstream content;
  content << aStream.rdbuf();
  const std::string text = content.str();
  // The extraction skips a leading UTF-8 byte order mark and counts positions
  // from behind it; so does the bound.
  const std::string kBOM = "\xEF\xBB\xBF";
  const std::string scanned = text.compare(0, kBOM.size(), kBOM) == 0 ? text.substr(kBOM.size()) : text;
  size_t offset = 0;
  if (!_T_nesting_within_bound(scanned, offset)) throw Json::RuntimeError(_T_nesting_error(scanned, offset));
  std::istringstream in(text);
  Json::Value root;
  in >> root;
  aJnode = _T_json_from_value(root);
  return aStream;
}

std::ostream& operator<<(std::ostream& aStream, const jnode& aJnode) {
  return aStream << to_string(aJnode, false);
}

std::ostream& operator<<(std::ostream& aStream, const jnode_map& aJnodeMap) {
  return aStream << to_string(aJnodeMap, false);
}

std::ostream& operator<<(std::ostream& aStream, const jnode_vector& aJnodeVector) {
  return aStream << to_string(aJnodeVector, false);
}

}}  // namespace Tarn::Support
