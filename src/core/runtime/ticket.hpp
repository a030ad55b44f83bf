// Epochs and tickets: numbers handed out when an operation begins and presented when it ends.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace qsc {

// A counter of handed-out numbers (epochs, tickets, tokens). It starts at 0, is never reset,
// and at the largest value hands out nothing more.
class Counter {
public:
    constexpr Counter() noexcept = default;
    // Starts at `next`: for checking behaviour at the limit without 2^64 calls.
    explicit constexpr Counter(std::uint64_t next) noexcept : next_(next) {}

    std::optional<std::uint64_t> next() noexcept {
        if (next_ == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
        return next_++;
    }
    std::uint64_t peek() const noexcept { return next_; }
    bool exhausted() const noexcept { return next_ == std::numeric_limits<std::uint64_t>::max(); }

private:
    std::uint64_t next_ = 0;
};

}  // namespace qsc
