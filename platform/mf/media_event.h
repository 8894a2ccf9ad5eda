// The asynchronous result that carries an event to a BeginGetEvent callback.
// Internal to platform/mf.
#pragma once

#include "platform/mf/events.h"

namespace vistrel {

// `object` may be null (then GetObject gives E_POINTER).
HRESULT CreateAsyncResult(IUnknown* state, HRESULT status, IUnknown* object,
                          IMFAsyncResult** result);

}  // namespace vistrel
