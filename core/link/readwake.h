#pragma once

// How many bytes must wait on a line before the kernel reports it readable.
// A reply comes in one character at a time; waking for each of them costs
// more than the rest of a polling pass. Asking to be woken only once the
// bytes that can end the read are in (VMIN with VTIME 0 for a terminal,
// SO_RCVLOWAT for a TCP socket) leaves two or three wake-ups per reply.
// Where the platform has neither, these do nothing and every byte wakes.
namespace readwake {
// Sets the threshold (1..255) on a terminal's or a socket's descriptor.
void setThreshold(long long fd, bool socket, int bytes);
// Bytes received by the kernel and not yet read; 0 where unknown.
int waiting(long long fd);
} // namespace readwake
