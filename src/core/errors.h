#pragma once

#include <exception>
#include <string>
#include <utility>

namespace zephlink {

// The error of every rule the program enforces itself. Its description is the
// user-visible message, shown unchanged in the status line.
class DazarError : public std::exception {
public:
    explicit DazarError(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

} // namespace zephlink
