// Heap allocations counted by the replaced global operator new of counting_new.cpp.
#pragma once

namespace counting_new {

// Allocations since the program started; link counting_new.cpp into the program to get them.
long Allocations() noexcept;

}  // namespace counting_new
