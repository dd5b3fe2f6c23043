// No exception may reach the host: every export runs its body through Guard.
#pragma once

#include <cstdint>
#include <utility>

namespace movu {

// Result of an export whose body failed in a way no code covers (out of
// memory, most likely). Distinct from every documented code.
constexpr std::int32_t kInternalError = -99;

template <class Fn>
std::int32_t Guard(Fn&& fn) noexcept {
    try {
        return std::forward<Fn>(fn)();
    } catch (...) {
        return kInternalError;
    }
}

template <class Fn>
void GuardVoid(Fn&& fn) noexcept {
    try {
        std::forward<Fn>(fn)();
    } catch (...) {
    }
}

}  // namespace movu
