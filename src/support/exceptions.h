#pragma once
// The exception family of the blocking utility side. Thrown by value, caught at the edge of each
// operation and recorded in that object's ErrorInfo; none ever crosses a thread.
//
//   std::exception
//   ├── socket_exception ── password_exception, timeout_exception, connect_exception,
//   │                       already_connected_exception
//   └── logfile_exception   (a socket_exception handler does not catch it)

#include <cstdint>
#include <exception>
#include <string>

namespace tessamer {

class socket_exception : public std::exception {
 public:
  explicit socket_exception(int32_t number);    // the system's text for the number
  explicit socket_exception(const char* text);  // the given text, code 0
  ~socket_exception() override = default;

  const char* what() const noexcept override { return text.c_str(); }
  virtual int32_t error_code() const noexcept { return code; }

 protected:
  socket_exception(std::string text, int32_t code) : text(std::move(text)), code(code) {}

 private:
  std::string text;
  int32_t code;
};

class password_exception : public socket_exception {
 public:
  explicit password_exception(const char* text) : socket_exception(text) {}
};

class timeout_exception : public socket_exception {
 public:
  timeout_exception();
};

class connect_exception : public socket_exception {
 public:
  explicit connect_exception(int32_t number) : socket_exception(number) {}
};

class already_connected_exception : public socket_exception {
 public:
  already_connected_exception();
};

class logfile_exception : public std::exception {
 public:
  explicit logfile_exception(int32_t number);
  ~logfile_exception() override = default;

  const char* what() const noexcept override { return text.c_str(); }
  virtual int32_t error_code() const noexcept { return code; }

 private:
  std::string text;
  int32_t code;
};

// Throws a socket_exception for the calling thread's last failed socket call. Never returns.
[[noreturn]] void ThrowLastSocketError();

}  // namespace tessamer
