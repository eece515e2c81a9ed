// The error of a text read line by line, such as a reuse record or a shader source: what is wrong
// and at which line, for messages of the form "FILE:LINE: error: ...".
#pragma once

#include <stdexcept>
#include <string>

namespace support {

// A fault in a text at a 1-based line.
class LineError : public std::runtime_error
{
public:
    LineError(int line, const std::string& message) : std::runtime_error(message), line_(line) {}
    int line() const { return line_; }

private:
    int line_;
};

} // namespace support
