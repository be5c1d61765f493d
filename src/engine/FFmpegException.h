#pragma once
#include <stdexcept>
#include <string>

namespace quenza {

// Exception class of engine errors; carries the message text.
class FFmpegException : public std::runtime_error {
 public:
  explicit FFmpegException(const std::string& msg) : std::runtime_error(msg) {}
};

}  // namespace quenza
