#pragma once
// What the statically linked C++ run-time keeps for the process after the module
// is unmapped, unless the module gives it back itself.

// Frees the run-time's per-load allocations that no exit function frees (the
// emergency buffer for exceptions thrown when memory runs out). Called once,
// after the static objects are destroyed, as the last step of an unload; never
// at the process exit, when another thread may have been ended inside the pool.
void ReleaseRuntimeAtUnload();
