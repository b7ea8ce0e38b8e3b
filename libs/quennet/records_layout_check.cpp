// AvInfo crosses the library's boundary: its byte layout is a binary
// interface, fixed for the 32-bit build that the tools ship as. This file
// compiles to nothing and fails the build when the layout drifts.
#include <cstddef>
#include <cstdint>

#include "libs/quennet/quennet.h"

namespace {

// The duration is a 64-bit value at 40 in every build.
static_assert(sizeof(AvInfo) == 56);
static_assert(offsetof(AvInfo, duration) == 40);
static_assert(sizeof(AvInfo::duration) == 8);

}  // namespace
