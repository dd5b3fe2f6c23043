// Caller buffers with guard bytes on both sides, and a readable page followed
// by one that faults, to prove that nothing is read or written out of bounds.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

namespace movu::test {

template <class T>
class GuardedBuffer {
public:
    static constexpr std::size_t kGuard = 16;
    static constexpr unsigned char kFill = 0xA5;

    explicit GuardedBuffer(int capacity)
        : units_(capacity > 0 ? static_cast<std::size_t>(capacity) : 0),
          bytes_(kGuard * 2 + units_ * sizeof(T), kFill) {}

    T* data() { return reinterpret_cast<T*>(bytes_.data() + kGuard); }
    std::size_t size() const { return units_; }

    bool GuardsIntact() const {
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (bytes_[i] != kFill || bytes_[bytes_.size() - 1 - i] != kFill) return false;
        }
        return true;
    }
    // Nothing written from this unit on, guards included.
    bool UntouchedFrom(std::size_t unit) const {
        for (std::size_t i = kGuard + unit * sizeof(T); i < bytes_.size(); ++i)
            if (bytes_[i] != kFill) return false;
        return GuardsIntact();
    }
    bool Untouched() const { return UntouchedFrom(0); }

private:
    std::size_t units_;
    std::vector<unsigned char> bytes_;
};

// One readable page directly followed by an inaccessible one.
class EdgePage {
public:
    EdgePage();
    ~EdgePage();
    EdgePage(const EdgePage&) = delete;
    EdgePage& operator=(const EdgePage&) = delete;
    char* end() const { return base_ + page_; }  // first unreadable byte

private:
    char* base_ = nullptr;
    std::size_t page_ = 0;
};

}  // namespace movu::test

using movu::test::EdgePage;
using movu::test::GuardedBuffer;
