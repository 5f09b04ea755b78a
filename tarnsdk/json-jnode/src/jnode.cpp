// The value tree's union lifetime and its conversions to and from JsonCpp.
// JsonCpp stays inside this file.
#include <tarn/support/jnode.h>

#include <json/json.h>

#include <fstream>
#include <istream>
#include <iterator>
#include <ostream>

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
  Json::Value root;
  std::string errors;
  if (!_T_parse(aJsonString, root, errors))
    throw std::runtime_error("from_string(std::string_ aJsonString): " + errors);
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
  Json::Value root;
  aStream >> root;
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
