#pragma once
// Hazard cells: how a reader tells writers "I am looking at this object, do not free it yet"
// without taking a lock. Each thread owns a few cells; a writer that unpublished an object
// scans every thread's cells before freeing it. Cells are meant for short, non-suspending
// windows: a coroutine that may suspend (and resume on another thread) must first take a
// reference count and release its cell.
#include <atomic>
#include <vector>

namespace ostrel::core::hazard {

// A free cell of the calling thread, or null when all of its cells are in use (deep nesting).
std::atomic<const void*>* acquire_cell() noexcept;

// Every pointer some thread currently protects, for a writer deciding what it may free.
void protected_pointers(std::vector<const void*>& out);

}  // namespace ostrel::core::hazard
