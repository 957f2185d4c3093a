#pragma once
// The Wing transport's name resolution, bounded by the send's deadline, and
// the send with the resolver given (tests put a silent name server in).
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace engine::wing::internal {

// The first socket address of a host and port, or the resolver's error text.
struct Address {
    sockaddr_storage addr{};
    socklen_t len = 0;
    int family = 0;
};
using Resolve = std::function<base::Result<Address>(const std::string& host, std::uint16_t port)>;

// The system resolver (getaddrinfo); errors: the resolver's text, or
// "no address".
base::Result<Address> system_resolve(const std::string& host, std::uint16_t port);

// Runs `resolve` on a thread of its own and waits for it until `deadline`;
// past it gives "name resolution timed out" and leaves the thread to end on
// its own (a resolver cannot be interrupted).
base::Result<Address> resolve_until(const Resolve& resolve, const std::string& host, std::uint16_t port,
                                    std::chrono::steady_clock::time_point deadline);

// engine::wing::send_to with the resolver given; one deadline of now +
// timeout bounds the whole call, name resolution included.
base::Result<std::string> send_with(const Resolve& resolve, const std::string& host, std::uint16_t port,
                                    std::string_view text, std::chrono::milliseconds timeout);

}  // namespace engine::wing::internal
