#include "support/exceptions.h"

#include "support/error_numbers.h"

namespace tessamer {

socket_exception::socket_exception(int32_t number)
    : text(SystemMessageText(number)), code(number) {}

socket_exception::socket_exception(const char* text) : text(text ? text : ""), code(0) {}

timeout_exception::timeout_exception()
    : socket_exception("A timeout occurred while waiting for an operation to complete") {}

already_connected_exception::already_connected_exception()
    : socket_exception("Socket handle is already connected") {}

logfile_exception::logfile_exception(int32_t number)
    : text(SystemMessageText(number)), code(number) {}

void ThrowLastSocketError() { throw socket_exception(LastSocketError()); }

}  // namespace tessamer
