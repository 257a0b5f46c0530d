#pragma once
// One move-only owner for every kind of handle. The traits name the handle
// type, its invalid value and how to close it; they may carry state (the
// registry a key belongs to), which is why they are stored, not static.

#include <utility>

namespace keyscour {

template <typename Traits>
class unique_handle : private Traits {
public:
    using pointer = typename Traits::pointer;

    unique_handle() noexcept = default;
    explicit unique_handle(pointer value, Traits traits = Traits()) noexcept
        : Traits(std::move(traits)), value_(value) {}
    explicit unique_handle(Traits traits) noexcept : Traits(std::move(traits)) {}

    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;

    unique_handle(unique_handle&& other) noexcept
        : Traits(std::move(static_cast<Traits&>(other))), value_(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
            static_cast<Traits&>(*this) = std::move(static_cast<Traits&>(other));
        }
        return *this;
    }

    ~unique_handle() { reset(); }

    pointer get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

    pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }

    void reset(pointer value = Traits::invalid()) noexcept {
        pointer old = std::exchange(value_, value);
        if (old != Traits::invalid()) Traits::close(old);
    }

    // Closes what is held and hands out the slot for an out-parameter.
    pointer* put() noexcept {
        reset();
        return &value_;
    }

private:
    pointer value_ = Traits::invalid();
};

}  // namespace keyscour
