// How the core raises its fatal errors: a diagnostic line on stderr, then
// the exception. Internal: callers of the library only catch FatalError.
#pragma once

#include <source_location>
#include <string>

#include "zandrel/fatal.hpp"

namespace zandrel {

// Writes a one-line diagnostic with the caller's source location to stderr,
// then throws FatalError carrying `message`.
[[noreturn]] void raise_fatal(
    const std::string& message,
    std::source_location where = std::source_location::current());

}  // namespace zandrel
