// A shared library carrying the typed records, loaded by the registry tests
// with dlopen so they can count what its load-time constructors registered.
#include <cstddef>

#include "binding/stub_info.hpp"

extern "C" __attribute__((visibility("default"))) std::size_t zandrel_stub_probe_count(int which) {
  using namespace zandrel::stub;
  return which == 0 ? registry_size(class_registry) : registry_size(methods_registry);
}
