// No exception may reach the host: every export runs its body through Guard.
#pragma once

#include <cstdint>
#include <utility>

#include "api/result_codes.h"

namespace movu {

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
