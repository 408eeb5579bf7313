// The registry is one process-wide table behind a lock, written at start-up
// and in tests. Creation by name runs on every operation, on many threads,
// so each thread reads its own copy of the table, refreshed only when the
// table's generation has moved: the call path takes no lock and writes no
// shared memory.
#include "quillet/class_registry.h"

#include <array>
#include <atomic>
#include <memory>
#include <unordered_map>
#include <utility>

#include "quillet/dictionary.h"
#include "quillet/error.h"
#include "quillet/text.h"
#include "runtime/creation_hook.h"
#include "runtime/mutex.h"

namespace quillet {
namespace {

using Table =
    std::unordered_map<String, ClassEntry, IgnoringCaseHash, IgnoringCaseEqual>;

struct Registry {
  Mutex mutex;
  Table classes GUARDED_BY(mutex);
  std::atomic<uint64_t> generation{1};

  Registry() {
    MutexLock lock(mutex);
    // The Scripting runtime is part of the platform, always there.
    classes.emplace(String(Dictionary::kClassName),
                    ClassEntry{String(Dictionary::kClassName), {}, [] {
                                 return Ref<Object>(MakeRef<Dictionary>());
                               }});
  }
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // never destroyed: used at exit
  return *registry;
}

// This thread's copy of the table, with a small cache of recent lookups
// keyed by the address of the name asked for (callers pass constants). A hit
// is confirmed against the entry's own name, so a reused buffer is safe.
struct ThreadState {
  std::shared_ptr<const Table> table;
  uint64_t seen = 0;
  struct Slot {
    const char16_t* name = nullptr;
    const ClassEntry* entry = nullptr;
  };
  std::array<Slot, 64> recent{};
  // Beside the table, so that creating reads one thread-local block.
  runtime::CreationHook* hook = nullptr;
};

ThreadState& ThisThread() {
  thread_local ThreadState state;
  return state;
}

ThreadState& Refreshed() {
  ThreadState& state = ThisThread();
  Registry& r = TheRegistry();
  uint64_t now = r.generation.load(std::memory_order_acquire);
  if (state.seen != now) {
    MutexLock lock(r.mutex);
    state.table = std::make_shared<const Table>(r.classes);
    state.seen = r.generation.load(std::memory_order_relaxed);
    state.recent.fill({});
  }
  return state;
}

// The cache is open addressing on the name's address: a few slots from its
// hash, so the dozen names an operation creates never evict one another
// (a direct-mapped cache missed whenever two names' addresses collided).
const ClassEntry* Lookup(ThreadState& state, StringView name) {
  constexpr size_t kProbes = 4;
  constexpr size_t kMask = std::tuple_size_v<decltype(state.recent)> - 1;
  size_t first = static_cast<size_t>((reinterpret_cast<uintptr_t>(name.data()) *
                                      UINT64_C(0x9E3779B97F4A7C15)) >>
                                     58);
  ThreadState::Slot* free_slot = nullptr;
  for (size_t i = 0; i < kProbes; ++i) {
    ThreadState::Slot& slot = state.recent[(first + i) & kMask];
    if (slot.name == name.data() &&
        EqualsIgnoringCase(slot.entry->class_name, name))
      return slot.entry;
    if (!slot.name && !free_slot) free_slot = &slot;
  }
  auto it = state.table->find(name);
  if (it == state.table->end()) return nullptr;
  ThreadState::Slot& into = free_slot ? *free_slot : state.recent[first];
  into = {name.data(), &it->second};
  return &it->second;
}

[[noreturn]] void RaiseCantCreate(StringView class_name) {
  Raise({.number = errors::kCantCreateObject,
         .description =
             String(RuntimeErrorDescription(errors::kCantCreateObject))},
        String(class_name));
}

Ref<Object> CreateUnhooked(ThreadState& state, StringView class_name) {
  // A factory may create objects itself and so refresh the thread's table:
  // the copy that the running factory belongs to stays alive until it ends.
  std::shared_ptr<const Table> keep = state.table;
  const ClassEntry* entry = Lookup(state, class_name);
  if (!entry || !entry->factory) RaiseCantCreate(class_name);
  Ref<Object> object = entry->factory();
  if (!object) RaiseCantCreate(class_name);
  return object;
}

}  // namespace

runtime::CreationHook* runtime::InstallCreationHook(CreationHook* hook) {
  return std::exchange(ThisThread().hook, hook);
}

void runtime::NoteWithheld(StringView class_name, StringView member,
                           std::initializer_list<const Variant*> arguments) {
  if (CreationHook* hook = ThisThread().hook)
    hook->Withheld(class_name, member, arguments);
}

void RegisterClass(StringView class_name, ClassFactory factory,
                   const ClassRegistration& how) {
  Registry& r = TheRegistry();
  MutexLock lock(r.mutex);
  auto it = r.classes.find(class_name);
  if (it != r.classes.end() && !how.replace_existing)
    Raise(ErrorInfo{
        .number = errors::kDuplicateKey,
        .description = String(RuntimeErrorDescription(errors::kDuplicateKey))});
  ClassEntry entry{String(class_name), String(how.class_id),
                   std::move(factory)};
  if (it != r.classes.end()) {
    r.classes.erase(it);
  }
  r.classes.emplace(String(class_name), std::move(entry));
  r.generation.fetch_add(1, std::memory_order_release);
}

bool UnregisterClass(StringView class_name) {
  Registry& r = TheRegistry();
  MutexLock lock(r.mutex);
  auto it = r.classes.find(class_name);
  if (it == r.classes.end()) return false;
  r.classes.erase(it);
  r.generation.fetch_add(1, std::memory_order_release);
  return true;
}

std::optional<ClassEntry> FindClass(StringView class_name) {
  Registry& r = TheRegistry();
  MutexLock lock(r.mutex);
  auto it = r.classes.find(class_name);
  if (it == r.classes.end()) return std::nullopt;
  return it->second;
}

Ref<Object> CreateObject(StringView class_name) {
  ThreadState& state = Refreshed();
  if (runtime::CreationHook* hook = state.hook) [[unlikely]]
    return hook->Create(
        class_name, [&] { return CreateUnhooked(Refreshed(), class_name); });
  return CreateUnhooked(state, class_name);
}

void RaiseTypeMismatch() { RaiseRuntime(errors::kTypeMismatch); }

ScopedClassRegistration::ScopedClassRegistration(StringView class_name,
                                                 ClassFactory factory)
    : class_name_(class_name), previous_(FindClass(class_name)) {
  RegisterClass(
      class_name, std::move(factory),
      {.class_id = previous_ ? StringView(previous_->class_id) : StringView(),
       .replace_existing = true});
}

ScopedClassRegistration::~ScopedClassRegistration() {
  if (previous_) {
    RegisterClass(previous_->class_name, std::move(previous_->factory),
                  {.class_id = previous_->class_id, .replace_existing = true});
  } else {
    UnregisterClass(class_name_);
  }
}

}  // namespace quillet
