// "supersede": the platform says this connection is superseded.
#pragma once

#include "core/events/support.hpp"

namespace qsc::events {

inline constexpr FieldRule kSupersedeRules[] = {
    {"reason", Rule::RequiredString},
    {"message", Rule::RequiredString},
    {"target_socket_id", Rule::NullableString},
    {"correlation_id", Rule::RequiredNullableString},
    {"retryable", Rule::Retryable},
    {"retry_after", Rule::RetryAfter},
};

}  // namespace qsc::events
