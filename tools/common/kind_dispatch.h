#pragma once
// The tools' one switch from a kind code (0 … 4) to the kind's traits.
#include <stdexcept>
#include <string>

#include "platform/kind_traits.h"

inline bool valid_kind(int kind) { return kind >= 0 && kind <= 4; }

template <class F>
decltype(auto) with_kind(int kind, F&& f) {
  switch (kind) {
    case 0:
      return f(RealSymmetric{});
    case 1:
      return f(RealUnsymmetric{});
    case 2:
      return f(ComplexSymmetric{});
    case 3:
      return f(ComplexUnsymmetric{});
    case 4:
      return f(ComplexHermitian{});
  }
  throw std::invalid_argument("kind " + std::to_string(kind) + " is not one of 0 … 4");
}

inline bool kind_is_complex(int kind) { return kind >= 2; }
inline bool kind_is_unsymmetric(int kind) { return kind == 1 || kind == 3; }
