#pragma once
#include <cstddef>

// What one client of the HTTP endpoint may cost kalmird, in one place. The
// endpoint is reachable from the site's network, and kalmird is a fire
// watch: no client, with or without the token, may take its memory or its
// time from the lines.
namespace httplimits {

// The request line and the headers. Prometheus and a browser send well
// under 2 KiB; a long cookie of another service on the same host fits too.
// Beyond it: 431 (a request line alone too long: 414), the connection closed.
inline constexpr std::size_t MaxHeaderBytes = 16 * 1024;

// The memory of one connection: its read buffer, which holds the header
// bytes above, the table of the parsed headers and the header lines of its
// answer. The answer's body is apart, one at a time per connection.
inline constexpr std::size_t ConnectionMemoryBytes = MaxHeaderBytes + 8 * 1024;

// The largest body a route that takes one may get, refused from its
// Content-Length before a byte of it is read (413). No route takes one
// today, so any body is refused so.
inline constexpr long long MaxBodyBytes = 64 * 1024;

// Connections open at once: a Prometheus or two and a few browsers, each
// with the handful of connections a browser keeps. One more is closed at
// accept.
inline constexpr unsigned MaxConnections = 16;

// Connections from one address: one client cannot take every slot.
inline constexpr unsigned MaxPerAddress = 4;

// A request must be whole this long after the connection opened or after
// its previous answer went out (a client that drips bytes gets no more);
// an answer the client does not take for this long is dropped with the
// connection. Either way the connection is closed.
inline constexpr unsigned RequestTimeoutS = 10;

} // namespace httplimits

// Why the endpoint turned a client away; each kind has a log line of its own.
enum class HttpRefusal {
    NoToken,       // 401
    NoSuchPath,    // 404
    WrongMethod,   // 405
    BodyRefused,   // 413
    HeadersTooLarge, // 431
    Unreadable,    // too large for the connection's memory, or not HTTP: refused by the parser
    Unfinished,    // 408: the request not whole in time
    AnswerNotTaken, // the client did not read its answer in time
    Full,          // MaxConnections open: closed at accept
    AddressFull,   // MaxPerAddress open from that address: closed at accept
};
