#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "OrvaneServer/auth/Auth.h"

// Every bound the server puts on what a client may make it hold or do.
namespace orvane::server::limits {

// An SDP offer with every candidate inline stays far below this; anything
// larger is not signalling.
inline constexpr std::size_t kMaxFrameBytes = 256 * 1024;
// Trickled ICE comes in bursts of a few dozen frames; a steady 50/s is already
// far more than a session needs.
inline constexpr double kFramesPerSecond = 50;
inline constexpr double kFrameBurst = 100;
// A person's hosts and tablets plus reconnect overlap; caps what one stolen
// token can hold open.
inline constexpr std::size_t kMaxSocketsPerUser = 16;
// Four maximal frames: a client that lets this much pile up is not reading.
inline constexpr std::size_t kMaxQueuedBytes = 4 * kMaxFrameBytes;
// Ids and names are short labels; longer ones only bloat every host list.
inline constexpr std::size_t kMaxIdBytes = 128;
inline constexpr std::size_t kMaxNameBytes = 256;

// Browsers send a few hundred bytes of headers; 8 KiB is the common server bound.
inline constexpr std::size_t kMaxHeaderBytes = 8 * 1024;
// An identity token plus three short strings; the accounts library's own bound.
inline constexpr std::size_t kMaxBodyBytes = kMaxAuthRequestBytes;
// Past this many open connections new ones are closed at once, keeping file
// descriptors for the ones already served.
inline constexpr std::size_t kMaxConnections = 20000;
// A read buffer that grew for one large frame is given back once it is this big.
inline constexpr std::size_t kIdleReadBufferBytes = 4 * 1024;

// Slow or silent peers give up their slot: a whole request (or the TLS and
// WebSocket handshakes) must arrive within these.
inline constexpr std::chrono::seconds kRequestTimeout{15};
inline constexpr std::chrono::seconds kHandshakeTimeout{10};
// Clients ping every 20 s; browsers never do but answer the server's ping,
// sent after half of this without traffic.
inline constexpr std::chrono::seconds kIdleTimeout{45};
// How long a stopping server lets sockets close before it cuts them.
inline constexpr std::chrono::seconds kStopGrace{2};

// Close codes of our own (4000-4999 is the application range).
inline constexpr std::uint16_t kCloseReplaced = 4000;
inline constexpr std::uint16_t kCloseRevoked = 4001;

}  // namespace orvane::server::limits
