// Typed records of the class and its methods, from which the type stub is
// generated. Two load-time constructors push one class record and one
// methods record onto two process-wide registries; nothing in the module
// reads them — the stub generator (tools/gen_stub.cpp) does.
#pragma once

#include <atomic>
#include <cstddef>
#include <set>
#include <span>
#include <string>

namespace zandrel::stub {

// A Python type as written in the stub, with the modules it needs imported.
struct TypeInfo {
  std::string text;
  std::set<std::string> imports;
};

enum class MethodKind { constructor, instance };

// How a parameter appears in an explicit signature: not at all (written
// plainly), by name (required), or with a default.
enum class SignatureEntry { none, plain, with_default };

struct ParameterRecord {
  const char* name;
  TypeInfo (*type)();
  SignatureEntry entry;
  const std::string& (*default_text)();  // only for SignatureEntry::with_default
};

struct MethodRecord {
  const char* name;
  std::span<const ParameterRecord> parameters;
  TypeInfo (*result)();
  const char* doc;
  MethodKind kind;
};

struct ClassRecord {
  const void* type_id;  // pairs this record with its methods record
  const char* name;
  const char* module;  // null: the package's default module
  const char* doc;
  ClassRecord* next;
};

struct MethodsRecord {
  const void* type_id;
  std::span<const MethodRecord> methods;
  MethodsRecord* next;
};

// Newest record first; never freed.
extern std::atomic<ClassRecord*> class_registry;
extern std::atomic<MethodsRecord*> methods_registry;

template <class Record>
std::size_t registry_size(const std::atomic<Record*>& head) {
  std::size_t n = 0;
  for (const Record* r = head.load(std::memory_order_acquire); r != nullptr; r = r->next) ++n;
  return n;
}

// Lock-free push: link to the head read last, retry until the head is ours.
template <class Record>
void push(std::atomic<Record*>& head, Record* record) {
  Record* current = head.load(std::memory_order_relaxed);
  do {
    record->next = current;
  } while (!head.compare_exchange_weak(current, record, std::memory_order_release,
                                       std::memory_order_relaxed));
}

}  // namespace zandrel::stub
