// Reference counting for runtime objects.
//
// Every runtime object (values of type Object, dictionaries, adapter objects,
// components) derives from RefCounted and is owned through Ref<T>. An object
// is destroyed when its last reference goes, at a point the code chooses:
// `ref.Reset()` releases at once, which is how release orders that behaviour
// depends on are written out.
//
//   Ref<Dictionary> dict = MakeRef<Dictionary>();
//   Ref<Object> any = dict;          // shares the object
//   dict.Reset();                    // drops one reference; `any` keeps it
//
// Counting is atomic, so references may be copied and dropped on any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace quillet {

class RefCounted {
 public:
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void AddRef() const noexcept {
    refs_.fetch_add(1, std::memory_order_relaxed);
  }
  void Release() const noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  int32_t RefCount() const noexcept {
    return refs_.load(std::memory_order_relaxed);
  }

 protected:
  RefCounted() = default;
  virtual ~RefCounted() = default;

 private:
  mutable std::atomic<int32_t> refs_{0};
};

// An intrusive, nullable reference. A null Ref is the platform's Nothing.
template <class T>
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  // Shares `p`: adds a reference.
  explicit Ref(T* p) noexcept : p_(p) {
    if (p_) p_->AddRef();
  }
  // Takes over a reference that `p` already carries for its new owner (one
  // handed across a C entry point, say) without adding one.
  static Ref Adopt(T* p) noexcept {
    Ref ref;
    ref.p_ = p;
    return ref;
  }
  Ref(const Ref& other) noexcept : Ref(other.p_) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ref(const Ref<U>& other) noexcept : Ref(other.Get()) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ref(Ref<U>&& other) noexcept : p_(other.Detach()) {}
  ~Ref() { Reset(); }

  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  // Drops this reference now; the object goes if it was the last one.
  void Reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Hands the reference over to the caller without releasing it; the
  // caller releases it later, or gives it to Ref::Adopt.
  T* Detach() noexcept { return std::exchange(p_, nullptr); }

  T* Get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  friend bool operator==(const Ref& a, const Ref& b) { return a.p_ == b.p_; }

 private:
  T* p_ = nullptr;
};

template <class T, class... A>
Ref<T> MakeRef(A&&... args) {
  return Ref<T>(new T(std::forward<A>(args)...));
}

// The interface query: a null Ref when `from` is not a T.
template <class T, class U>
Ref<T> QueryInterface(const Ref<U>& from) {
  return Ref<T>(dynamic_cast<T*>(from.Get()));
}

}  // namespace quillet
