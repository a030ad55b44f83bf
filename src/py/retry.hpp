// What the two delivery-ledger bindings share: the RetryTracker object that ClaimRegistry
// methods take, the ledgers' capacity parameters, and methods of one id.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/runtime/retry.hpp"
#include "py/frame/delegate.hpp"
#include "py/frame/object.hpp"
#include "py/frame/ranged.hpp"

namespace qsc::py {

using TrackerObject = Object<RetryTracker, ClassId::RetryTracker>;

// A ledger's capacity: a count from `Lo` to 2^32 - 1.
template <std::uint64_t Lo>
using Capacity = Ranged<std::uint32_t, Lo, UINT32_MAX>;

// The methods that take nothing but a message id or a room.
template <class Obj, auto Op>
constexpr auto by_id = &delegate<Obj, Op, std::string_view>;

}  // namespace qsc::py
