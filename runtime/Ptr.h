#pragma once
// Intrusive reference counting. An object derived from Kel::PtrInterface
// carries its own count; Kel::Ptr<T> holds one reference. When the count
// drops to zero, handleZeroRef() runs (by default: onZeroReferences(), then
// delete). The count is atomic, so references may be taken and dropped from
// any thread; the object itself is not made thread-safe by this.
#include <atomic>
#include <cstddef>
#include <utility>

#include "VexaSwitchLib/runtime/Types.h"

namespace Kel {

class PtrInterface {
 public:
  PtrInterface() = default;
  PtrInterface(PtrInterface const&) : refs_(0) {}
  PtrInterface& operator=(PtrInterface const&) { return *this; }
  virtual ~PtrInterface() = default;

  U32 references() const { return refs_.load(std::memory_order_relaxed); }
  void newRef() const { refs_.fetch_add(1, std::memory_order_relaxed); }
  void delRef() const {
    // acq_rel: the last owner must see every write the others made before
    // they dropped their references, before it destroys the object.
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      const_cast<PtrInterface*>(this)->handleZeroRef();
    }
  }

 protected:
  // Called when the last reference goes. Overriders that keep the object
  // alive (e.g. hand it to another owner) must not call the base.
  virtual void handleZeroRef() {
    onZeroReferences();
    delete this;
  }
  virtual void onZeroReferences() {}

 private:
  mutable std::atomic<U32> refs_{0};
};

template <class T>
class Ptr {
 public:
  Ptr() = default;
  Ptr(std::nullptr_t) {}  // NOLINT
  Ptr(T* p) : p_(p) { if (p_) p_->newRef(); }  // NOLINT
  Ptr(Ptr const& o) : Ptr(o.p_) {}
  Ptr(Ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  Ptr(Ptr<U> const& o) : Ptr(o.ptr()) {}  // NOLINT
  ~Ptr() { if (p_) p_->delRef(); }
  Ptr& operator=(Ptr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  T* ptr() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  friend bool operator==(Ptr const& a, Ptr const& b) { return a.p_ == b.p_; }
  friend bool operator==(Ptr const& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

template <class T, class... A>
Ptr<T> makePtr(A&&... a) {
  return Ptr<T>(new T(std::forward<A>(a)...));
}

}  // namespace Kel
