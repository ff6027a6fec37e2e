#pragma once
// An error that is a case enumeration (see PayloadCoding.hpp) thrown as an
// exception: the body that SubError and VornHelperError share. `Cases`
// declares the case structs and `Case`, the std::variant of them; an error
// class derives from CaseError<Cases> and inherits its constructors, so its
// cases keep their names (SubError::GameNotExist).
//
// An error does not change once made: any thread may read it.
#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "Common/Protocol/PayloadCoding.hpp"

namespace payload {

template <class Cases>
class CaseError : public Cases, public std::exception {
 public:
  using case_tag = void;
  using Case = typename Cases::Case;

  CaseError() : CaseError(Case{}) {}
  CaseError(Case value) : value_(std::move(value)), description_(describeCase(value_)) {}
  template <class C>
    requires std::is_constructible_v<Case, C>
  CaseError(C value) : CaseError(Case(std::move(value))) {}

  const Case& value() const { return value_; }
  template <class C>
  bool is() const { return std::holds_alternative<C>(value_); }
  template <class C>
  const C* get() const { return std::get_if<C>(&value_); }
  const char* caseName() const { return caseNames<Case>[value_.index()]; }

  // The printed form, such as WorkingAnotherGame(gameCode: 5).
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const CaseError& other) const { return value_ == other.value_; }

 private:
  Case value_;
  std::string description_;
};

}  // namespace payload
