#pragma once
// Kel::FixedArray<E, N>: a fixed-capacity array attribute. A 32-bit count of
// used slots, then room for N elements; only the first `count` elements
// are part of the value (equality and text form look at those only).
// Text form: "[e0, e1]", "[]" when empty. Image: count at 0, elements from 4.
#include <array>
#include <string>

#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace Kel {

// The range failure of a count above a fixed array's capacity.
[[noreturn]] inline void throwFixedArrayRange(U32 capacity, U64 count) {
  throwRangeException(fmt::format("fixed array count {} exceeds its capacity {}", count, capacity));
}

template <class E, U32 N>
class FixedArray {
 public:
  static constexpr U32 capacity = N;
  U32 count() const { return count_; }
  E const& operator[](U32 i) const { return elems_[i]; }
  E const* data() const { return elems_.data(); }

  // Set element i (< N) to v; a gap between the old count and i is filled
  // with the element default d.
  void set(U32 i, E v, E d) {
    if (i >= count_) {
      for (U32 j = count_; j < i; ++j) elems_[j] = d;
      count_ = i + 1;
    }
    elems_[i] = v;
  }
  // Delete element i: a hole (d) inside the array, or, for the last
  // element, a shorter array that never ends in d. Returns the old element,
  // or d when i is past the end.
  E del(U32 i, E d) {
    if (i >= count_) return d;
    E old = elems_[i];
    if (i + 1 < count_) {
      elems_[i] = d;
      return old;
    }
    count_ = i;
    while (count_ > 0 && elems_[count_ - 1] == d) --count_;
    return old;
  }
  void clear() { count_ = 0; }
  // Replaces the used part (count <= N is checked).
  void assign(E const* elems, U32 count) {
    if (count > N) throwFixedArrayRange(N, count);
    for (U32 i = 0; i < count; ++i) elems_[i] = elems[i];
    count_ = count;
  }

  friend bool operator==(FixedArray const& a, FixedArray const& b) {
    if (a.count_ != b.count_) return false;
    for (U32 i = 0; i < a.count_; ++i)
      if (!(a.elems_[i] == b.elems_[i])) return false;
    return true;
  }

 private:
  U32 count_ = 0;
  std::array<E, N> elems_{};
};

template <class E, U32 N>
struct AttrText<FixedArray<E, N>> {
  static void append(std::string& out, FixedArray<E, N> const& a) {
    out += '[';
    for (U32 i = 0; i < a.count(); ++i) {
      if (i) out += ", ";
      AttrText<E>::append(out, a[i]);
    }
    out += ']';
  }
};

}  // namespace Kel
