#pragma once
// An error as the user sees it: a 32-bit signed number and a description.

#include <cstdint>
#include <exception>
#include <string>

namespace keyscour {

class NumberedError : public std::exception {
public:
    NumberedError(std::int32_t number, std::wstring description)
        : number_(number), description_(std::move(description)),
          what_(description_.begin(), description_.end()) {}

    std::int32_t Number() const noexcept { return number_; }
    const std::wstring& Description() const noexcept { return description_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::int32_t number_;
    std::wstring description_;
    std::string what_;  // ASCII view for logs; the description is the real text
};

}  // namespace keyscour
