// The link's time limits, in milliseconds on the tick clock.
#pragma once

#include <cstdint>

namespace vistrel {

// A TLS handshake, and the first byte of the first frame after it.
inline constexpr uint64_t kHandshakeMs = 5000;
inline constexpr uint64_t kFirstByteMs = 5000;
// A streaming phone that says nothing for this long is gone.
inline constexpr uint64_t kSilenceMs = 15000;
// The user's approval of a pairing request.
inline constexpr uint64_t kApprovalMs = 60000;
// Keyframe requests, at most one per interval.
inline constexpr uint64_t kKeyframeRequestMs = 1000;

}  // namespace vistrel
