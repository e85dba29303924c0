#pragma once
// Common base of every error the system throws: what() is the user-facing description.

#include <exception>
#include <string>

namespace quorvale {

class Error : public std::exception {
public:
    explicit Error(std::string description) : description_(std::move(description)) {}
    const char* what() const noexcept override { return description_.c_str(); }
    const std::string& description() const noexcept { return description_; }

private:
    std::string description_;
};

}  // namespace quorvale
