// Catches writes into freed objects of one size. While armed, the test
// program's operator delete does not give blocks of the watched size back to
// the heap: it fills them with a pattern and keeps them, so that a later
// write through a dangling pointer shows as a changed byte.
#pragma once

#include <cstddef>

namespace freed_block_watch {

// Starts watching blocks of exactly this many bytes (sized delete).
void Arm(std::size_t blockSize);
// Stops watching; kept blocks stay kept (the process ends soon).
void Disarm();
// Blocks of the watched size deleted since Arm.
std::size_t FreedBlocks();
// True while every kept block still holds the fill pattern.
bool AllUntouched();

}  // namespace freed_block_watch
