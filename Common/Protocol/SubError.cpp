#include "Common/Protocol/SubError.hpp"

SubError::SubError(Case value) : value_(std::move(value)), description_(payload::Coder<SubError>::describe(*this)) {}

const char* SubError::caseName() const { return payload::Coder<SubError>::names[value_.index()]; }
