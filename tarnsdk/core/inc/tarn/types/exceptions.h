// The SDK's exception tree. The classes carry no data and no message: a
// failure is logged where it is detected, then thrown as one of these.
//
//   std::exception
//   └─ generic_error
//      ├─ internal_error ── unsupported_error
//      └─ external_error ─┬ params_error
//                         └ not_found_error
#pragma once

#include <exception>

namespace Tarn {

class generic_error : public std::exception {
 public:
  const char* what() const noexcept override { return "Tarn::generic_error"; }
};

class internal_error : public generic_error {
 public:
  const char* what() const noexcept override { return "Tarn::internal_error"; }
};

class external_error : public generic_error {
 public:
  const char* what() const noexcept override { return "Tarn::external_error"; }
};

class unsupported_error : public internal_error {
 public:
  const char* what() const noexcept override { return "Tarn::unsupported_error"; }
};

class params_error : public external_error {
 public:
  const char* what() const noexcept override { return "Tarn::params_error"; }
};

class not_found_error : public external_error {
 public:
  const char* what() const noexcept override { return "Tarn::not_found_error"; }
};

}  // namespace Tarn
