// A move-only owner for one Windows handle of one kind. Each kind supplies a
// traits type with the invalid value and a Close that never throws; the owner
// releases on destruction, so a chain of owners in one scope is released in
// reverse order of acquisition on every path, exceptions included.
#pragma once

#include <utility>

namespace vantrel {

template <typename Traits>
class ScopedHandle {
public:
    using Type = typename Traits::Type;

    ScopedHandle() noexcept : value_(Traits::Invalid()) {}
    explicit ScopedHandle(Type value) noexcept : value_(value) {}
    ~ScopedHandle() { Reset(); }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : value_(other.Release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    Type Get() const noexcept { return value_; }
    bool Valid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return Valid(); }

    Type Release() noexcept {
        Type value = value_;
        value_ = Traits::Invalid();
        return value;
    }
    void Reset(Type value = Traits::Invalid()) noexcept {
        if (value_ != Traits::Invalid()) Traits::Close(value_);
        value_ = value;
    }

private:
    Type value_;
};

}  // namespace vantrel
