#pragma once

#include "records.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zephlink {

namespace msg {
inline constexpr std::string_view networkUnavailable = "Network unavailable";
inline constexpr std::string_view relayUnavailable = "Relay unavailable. Check network and server.";
inline constexpr std::string_view repairRequired = "Re-pair required (401)";
// Followed by the status code in decimal.
inline constexpr std::string_view relayReturnedHttp = "Relay returned HTTP ";
inline constexpr std::string_view responseTooLarge = "Relay response too large";
inline constexpr std::string_view invalidRelayResponse = "Invalid relay response";
} // namespace msg

// Largest 2xx body accepted from a clip server, checked while it streams in.
inline constexpr std::size_t kMaxResponseBytes = 6'000'000;
// Every relay endpoint call uses this request timeout.
inline constexpr double kRelayTimeoutSeconds = 30;
// How long a relay may hold a poll open; well inside the request timeout.
inline constexpr int kPollWaitSeconds = 20;

// The program's only HTTP client: blocking, one connection per request,
// redirects never followed, no cookies, no cache, no proxy. Any thread may
// call it.
namespace API {

// Sends one request to server + path and returns the 2xx body. Raises the
// server address check's DazarError, or one of "Relay unavailable. Check
// network and server." (transport), "Network unavailable" (no HTTP answer),
// "Re-pair required (401)", "Relay response too large" (2xx over the cap) and
// "Relay returned HTTP " + code (anything else, redirects included). path
// must start with "/"; method is "GET", "POST" or "DELETE". GET and DELETE
// never carry a body.
std::string request(std::string_view server, std::string_view path,
                    std::optional<std::string> token, std::string_view method,
                    std::optional<std::string> body, double timeoutSeconds);

// Creates a room on the relay and returns its group with a key made here;
// the relay never sees the key.
Group create(std::string_view server);

// The relay endpoints. Each carries the group's bearer token and refuses a
// group whose room is not an identifier with "Invalid group" before sending.
void postClip(const Group& group, const Envelope& envelope);
// Long poll for clips after cursor; decodes the answer as a Batch.
Batch pollClips(const Group& group, std::int64_t cursor);
// Every clip the room holds, as the raw body: joining only confirms access,
// the checks decode it as a Batch.
std::string readFromStart(const Group& group);
void revokeRoom(const Group& group);

// The endpoint paths, for callers and tests that need them spelled out.
std::string roomsPath();
std::string roomPath(std::string_view room);
std::string clipsPath(std::string_view room);
std::string pollPath(std::string_view room, std::int64_t cursor);
std::string readFromStartPath(std::string_view room);

} // namespace API

} // namespace zephlink
