#pragma once
// The texts of Channel's errors, shared by its blocking and asyncio calls.

namespace torvan::channel {

inline constexpr const char* kClosed = "Channel is closed";
inline constexpr const char* kClosedAndEmpty = "Channel is closed and empty";
inline constexpr const char* kRecvTimedOut = "recv() timed out waiting for available item";
inline constexpr const char* kSendTimedOut = "send() timed out waiting for channel capacity";

}  // namespace torvan::channel
