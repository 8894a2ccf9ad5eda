#include "platform/mf/unknown.h"

#include <cstdlib>

namespace vistrel {

void* CoTaskMemAlloc(size_t size) { return std::malloc(size == 0 ? 1 : size); }

void CoTaskMemFree(void* p) { std::free(p); }

}  // namespace vistrel
