// The line of a caller, taken where a default argument is evaluated. std::source_location
// where the standard library offers it; with clang before 15 (the fuzzing build's compiler)
// libstdc++ leaves it out for want of a builtin, and a line-only stand-in built from
// __builtin_LINE takes its place. Only the line is ever read.
#pragma once

#include <source_location>

namespace carvola {

#ifdef __cpp_lib_source_location
using CallSite = std::source_location;
#else
struct CallSite {
    static constexpr CallSite current(unsigned line = __builtin_LINE()) noexcept { return CallSite{line}; }
    constexpr unsigned line() const noexcept { return line_; }
    unsigned line_ = 0;
};
#endif

}  // namespace carvola
