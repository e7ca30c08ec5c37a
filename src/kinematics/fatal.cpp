#include "raise_fatal.hpp"

#include <cstdio>
#include <string_view>

namespace zandrel {

void raise_fatal(const std::string& message, std::source_location where) {
  // Name the file from the source tree down, not the build machine's path.
  std::string_view file = where.file_name();
  if (const auto at = file.rfind("src/"); at != std::string_view::npos) file.remove_prefix(at);
  std::fprintf(stderr, "zandrel_torso_kinematics: fatal error at %.*s:%u: %s\n",
               static_cast<int>(file.size()), file.data(), static_cast<unsigned>(where.line()),
               message.c_str());
  throw FatalError(message);
}

}  // namespace zandrel
