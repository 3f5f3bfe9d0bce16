#pragma once
#include <stdexcept>
#include <string>

// An error raised and passed up to the caller: a number, the source that raised it and a description.
class RaisedError : public std::runtime_error {
public:
    RaisedError(long number, std::string source, std::string description)
        : std::runtime_error(Describe(number, source, description)),
          number_(number),
          source_(std::move(source)),
          description_(std::move(description)) {}

    long Number() const noexcept { return number_; }
    const std::string& Source() const noexcept { return source_; }
    const std::string& Description() const noexcept { return description_; }

private:
    static std::string Describe(long number, const std::string& source, const std::string& description) {
        return "Error " + std::to_string(number) + " (" + source + "): " + description;
    }
    long number_;
    std::string source_;
    std::string description_;
};
