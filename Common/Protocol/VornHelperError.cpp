#include "Common/Protocol/VornHelperError.hpp"

VornHelperError::VornHelperError(Case value)
    : value_(std::move(value)), description_(payload::Coder<VornHelperError>::describe(*this)) {}

const char* VornHelperError::caseName() const {
  return payload::Coder<VornHelperError>::names[value_.index()];
}
