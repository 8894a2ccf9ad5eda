// The camera library's own log: "hh:mm:ss.mmm [pid] message" lines appended to
// vcam.log in the camera log folder (never created here) and written to
// standard error, which stands for the debugger output. Lines end in "\n" on
// Linux. Any thread; failures are silent.
#pragma once

namespace vistrel {

// "%s" takes UTF-8; the message is cut at 1023 bytes.
// Never throws: it is called inside COM methods.
void CameraLog(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

}  // namespace vistrel
