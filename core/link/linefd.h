#pragma once

// The few calls the channel makes on its line's descriptor itself.
namespace linefd {

// How many bytes must wait on a terminal before the kernel reports it
// readable: a reply comes in one character at a time, and waking for each
// of them costs more than the rest of a polling pass. With VMIN set to the
// bytes that can end the read (and VTIME 0), two wake-ups are left per
// reply. Not for a socket: a server packs characters into a few segments
// anyway, and a receiver that holds back its reads (SO_RCVLOWAT) delays
// its acknowledgements, which stalls a server that waits for them (Nagle).
// Sets the threshold (1..255); does nothing where there is no VMIN.
void setWakeThreshold(long long fd, int bytes);
// Bytes received by the kernel and not yet read; 0 where unknown.
int waiting(long long fd);
// Whether the descriptor reports a hang-up or an error (or is no longer
// one): a read that failed on it lost the line. One that failed otherwise
// found nothing to read.
bool broken(long long fd);
// A non-blocking write of `data` to a terminal or a socket: the bytes the
// kernel took (0 when it took none or refused; the caller's usual path then
// sends them and meets any error).
long long writeNow(long long fd, bool socket, const char *data, long long count);
} // namespace linefd
