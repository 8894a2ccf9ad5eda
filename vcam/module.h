// Module bookkeeping of the camera library: the count of live objects and
// server locks that DllCanUnloadNow reports on.
#pragma once

#include <cstdint>

namespace vistrel {

// Raised by each live Activator, MediaSource and MediaStream; lowered when
// they go.
void ModuleAddRef();
void ModuleRelease();
// The live objects plus the LockServer(true) calls not yet matched by a
// LockServer(false); DllCanUnloadNow says S_OK only at 0.
uint32_t ModuleObjectCount();

// Holds one module count for the life of an object.
class ModuleReference {
 public:
  ModuleReference() { ModuleAddRef(); }
  ~ModuleReference() { ModuleRelease(); }
  ModuleReference(const ModuleReference&) = delete;
  ModuleReference& operator=(const ModuleReference&) = delete;
};

}  // namespace vistrel
