#include "core/events/supersede.hpp"

namespace qsc::events {

namespace {

constexpr FieldRule kSupersede[] = {
    {"reason", Rule::RequiredString},
    {"message", Rule::RequiredString},
    {"target_socket_id", Rule::NullableString},
    {"correlation_id", Rule::RequiredNullableString},
    {"retryable", Rule::Retryable},
    {"retry_after", Rule::RetryAfter},
};

}  // namespace

constinit const FieldRules kSupersedeRules{kSupersede};

}  // namespace qsc::events
