#pragma once

#include <memory>
#include <optional>
#include <utility>

namespace kivo {

// A value that copies share until one of them changes it. It reads like std::optional (empty, or a
// value) and compares by value. An answer's counts by page are one: they pass from the census to the
// answer and to its encoding without copying a long document's thousand entries each time.
// Copies on different threads may be read at once; changing one is its holder's business alone.
template <class T>
class SharedValue {
public:
    using value_type = T;

    SharedValue() = default;
    SharedValue(std::nullopt_t) noexcept {}
    SharedValue(T value) : value_(std::make_shared<T>(std::move(value))) {}
    SharedValue& operator=(std::nullopt_t) noexcept {
        value_.reset();
        return *this;
    }
    SharedValue& operator=(T value) {
        value_ = std::make_shared<T>(std::move(value));
        return *this;
    }

    bool has_value() const noexcept { return value_ != nullptr; }
    explicit operator bool() const noexcept { return has_value(); }
    const T& operator*() const { return *value_; }
    const T* operator->() const { return value_.get(); }
    // The value to change: copied first while another copy shares it.
    T& operator*() { return own(); }
    T* operator->() { return &own(); }
    T value_or(T fallback) const { return value_ ? *value_ : std::move(fallback); }
    void reset() noexcept { value_.reset(); }

    friend bool operator==(const SharedValue& a, const SharedValue& b) {
        return a.value_ == b.value_ || (a.value_ && b.value_ && *a.value_ == *b.value_);
    }
    friend bool operator==(const SharedValue& a, const T& b) { return a.value_ && *a.value_ == b; }

private:
    T& own() {
        if (value_.use_count() > 1) value_ = std::make_shared<T>(*value_);
        return *value_;
    }

    std::shared_ptr<T> value_;
};

}  // namespace kivo
