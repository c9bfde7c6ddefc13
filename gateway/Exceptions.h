#pragma once
// Argument errors of the gateway classes. Thrown by value, caught by reference.

#include <exception>

namespace Quarn {

// An argument that must not be empty was empty (an address).
class NullObjectException : public std::exception {
public:
    ~NullObjectException() override = default;
    const char* what() const noexcept override { return "Null or empty object"; }
};

// An argument was out of its range (a port).
class InvalidArgumentException : public std::exception {
public:
    ~InvalidArgumentException() override = default;
    const char* what() const noexcept override { return "Invalid argument found"; }
};

// A required object was missing (a frame).
class ArgumentNullException : public std::exception {
public:
    ~ArgumentNullException() override = default;
    const char* what() const noexcept override { return "Argument null"; }
};

}  // namespace Quarn
