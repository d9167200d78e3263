#pragma once
#include <QByteArray>
#include <deque>
#include <map>
#include <optional>
#include <vector>

// One guest request waiting for the line.
struct GuestRequest {
    int client = 0;     // the connection's number; one request each at a time
    QByteArray request; // address and PDU, no CRC
    double arrivedMs = 0;
    double startByMs = 0; // not started by then: answered "gateway path unavailable"
    double costMs = 0;    // the longest it can hold the line (a silent target's window in full)
};

// What the watch tells at the moment a guest could go.
struct LineFacts {
    double nowMs = 0;
    double ownExchangeMs = 0;  // one status exchange of the watch
    double probeMs = 0;        // a round's probe of a detector that is not online, its window in full (0: none)
    std::vector<double> lastGoodMs; // each online listed detector's last good status
};

// Which waiting guest goes next, and whether one may go at all: the clients
// take turns; guests hold the line for at most `share` of any ShareWindowMs;
// and one goes only if, with its cost added, every online detector's status
// can still be read again before it is maxStatusAgeMs old, the watch polling
// them in turn, oldest first, with one probe's window in full. Pure logic on
// the line's clock.
class GuestPolicy {
public:
    static constexpr double ShareWindowMs = 10000;

    GuestPolicy(double share, double maxStatusAgeMs) : share(share), maxAgeMs(maxStatusAgeMs) {}

    // A client's request; a client that has one waiting already is not asked.
    void add(GuestRequest request) { waiting[request.client] = std::move(request); }
    bool has(int client) const { return waiting.count(client) > 0; }
    // Removes a client's waiting request (it left); what it was, if any.
    std::optional<GuestRequest> drop(int client)
    {
        const auto it = waiting.find(client);
        if (it == waiting.end())
            return std::nullopt;
        GuestRequest r = std::move(it->second);
        waiting.erase(it);
        return r;
    }
    bool empty() const { return waiting.empty(); }
    // Removes and returns the requests whose start deadline is past.
    std::vector<GuestRequest> takeExpired(double nowMs);
    // Removes and returns every waiting request (the line is lost).
    std::vector<GuestRequest> takeAll();
    // The earliest start deadline of those waiting.
    std::optional<double> soonestDeadline() const;

    // The request whose turn it is, removed, when it may go now.
    std::optional<GuestRequest> take(const LineFacts &facts);
    // A guest exchange held the line from..to.
    void ran(double fromMs, double toMs);
    // The guests' time on the line within the ShareWindowMs before nowMs.
    double usedMs(double nowMs) const;
    // Whether a status read of every online detector stays within the bound
    // if a guest holds the line for costMs now.
    bool keepsFresh(const LineFacts &facts, double costMs) const;

private:
    double share;
    double maxAgeMs;
    std::map<int, GuestRequest> waiting;
    int lastServed = -1;
    std::deque<std::pair<double, double>> spans; // guest exchanges of the window
};
