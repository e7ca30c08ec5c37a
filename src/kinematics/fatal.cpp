#include "zandrel/fatal.hpp"

namespace zandrel {

// Defined here so that the class's vtable and type information live in the
// library, once, rather than in every file that throws or catches it.
FatalError::~FatalError() = default;

}  // namespace zandrel
