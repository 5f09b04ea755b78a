#include <tarn/types/exceptions.h>
#include <tarn/types/stat.h>

#include <gtest/gtest.h>

#include <type_traits>

namespace {

using namespace Tarn;

TEST(Exceptions, TreeShape) {
  static_assert(std::is_base_of_v<std::exception, generic_error>);
  static_assert(std::is_base_of_v<generic_error, internal_error>);
  static_assert(std::is_base_of_v<generic_error, external_error>);
  static_assert(std::is_base_of_v<internal_error, unsupported_error>);
  static_assert(std::is_base_of_v<external_error, params_error>);
  static_assert(std::is_base_of_v<external_error, not_found_error>);
  static_assert(!std::is_base_of_v<external_error, unsupported_error>);
  static_assert(!std::is_base_of_v<internal_error, params_error>);
  // A handler for the base catches what lower layers throw.
  EXPECT_THROW(throw not_found_error(), external_error);
  EXPECT_THROW(throw unsupported_error(), generic_error);
}

TEST(Stat, Values) {
  const std::pair<stat_t, int> table[] = {
      {kS_DONE, 0},           {kS_FAIL, 1},           {kS_BUSY, 2},
      {kS_ALREADY, 3},        {kS_CANCELED, 4},       {kS_UNSUPPORTED, 5},
      {kS_INVALID_PARAMS, 6}, {kS_INVALID_OPERATION, 7}, {kS_INTERNAL_ERROR, 8},
      {kS_INVALID_LINK, 9},   {kS_NOT_FOUND, 10},     {kS_DENY, 11},
  };
  for (const auto& [value, number] : table) EXPECT_EQ(static_cast<int>(value), number);
}

}  // namespace
