// Drives generated set/<name> topics and payloads through the decider, from
// a fixed seed, and checks that nothing is accepted that the rules forbid:
// writes on, a known name, a command offered to a broker (never 1, 2, 36),
// and a value the window's own integer rule and builder take. Prints
// figures, exits 1 if any property failed.
// Usage: fuzz_remotecommands [inputs [seed]]
#include "link/inttext.h"
#include "daemon/remotecommands.h"
#include <QElapsedTimer>
#include <cstdio>

namespace {
struct Rng { // splitmix64
    uint64_t s;
    uint64_t next()
    {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return int(next() % uint64_t(n)); }
    QByteArray bytes(int n)
    {
        QByteArray b(n, 0);
        for (char &c : b)
            c = char(next());
        return b;
    }
};

// A known name, one mutated by a byte, or random bytes.
QByteArray topicName(Rng &r)
{
    QByteArray name = RemoteCommandNames[r.below(LastCommandCode)].name.toString().toLatin1();
    switch (r.below(6)) {
    case 0: return r.bytes(r.below(24));
    case 1: name[r.below(int(name.size()))] = char(r.next()); return name;
    case 2: return name + (r.below(2) ? "/" : "") + r.bytes(r.below(3));
    default: return name;
    }
}

// Empty, a number near an edge, a number with junk, or random bytes.
QByteArray payload(Rng &r)
{
    static const int64_t edges[] = {0, 1, -1, 65535, 65536, -32768, 2147483647, 2147483648LL, -2147483648LL, -2147483649LL};
    const int64_t n = r.below(2) ? edges[r.below(std::size(edges))] : int64_t(r.next() % 200000) - 100000;
    QByteArray text = QByteArray::number(n);
    switch (r.below(6)) {
    case 0: return {};
    case 1: return r.bytes(r.below(20));
    case 2: text.insert(r.below(int(text.size()) + 1), char(r.next())); return text;
    case 3: return (r.below(2) ? "0x" : "$") + QByteArray::number(n, 16);
    default: return text;
    }
}

long failures = 0;
#define CHECK(cond)                                                                                     \
    ((cond) || ++failures > 10                                                                          \
     || std::fprintf(stderr, "FAIL line %d: %s\n  writes %d name %s payload %s\n", __LINE__, #cond, writes, \
                     name.toHex(' ').constData(), body.toHex(' ').constData()))
} // namespace

int main(int argc, char **argv)
{
    const long inputs = argc > 1 ? std::atol(argv[1]) : 10000;
    Rng r{argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20261207};
    long accepted = 0, withValue = 0;
    QElapsedTimer clock;
    clock.start();
    for (long i = 0; i < inputs; ++i) {
        const bool writes = r.below(8) != 0;
        const QByteArray name = topicName(r), body = payload(r);
        const RemoteDecision d = decideRemoteCommand(writes, name, body);
        CHECK(d.accepted() == d.reason.isEmpty());
        if (!d.accepted()) {
            CHECK(d.command == Command::None && !d.value);
            continue;
        }
        ++accepted;
        const uint8_t code = uint8_t(d.command);
        CHECK(writes);
        CHECK(code >= 1 && code <= LastCommandCode && RemoteCommandNames[code - 1].name == QLatin1StringView(name));
        CHECK(code != 1 && code != 2 && code != 36 && offeredRemotely(d.command));
        const std::optional<ValueRange> range = commandValueRange(d.command);
        CHECK(bool(range) == bool(d.value));
        CHECK(range || body.isEmpty());
        if (d.value) {
            ++withValue;
            CHECK(parseIntText(QString::fromLatin1(body)) == d.value);
            CHECK(*d.value >= range->min && *d.value <= range->max);
        }
        uint8_t mask = 0;
        const Result<BuiltCommand> built = buildCommand(d.command, CommandInputs{nullptr, 1, 8, 0, d.value}, mask);
        CHECK(built || !"the window's builder refuses an accepted command");
        CHECK(!built || built->send);
    }
    const double s = clock.nsecsElapsed() / 1e9;
    std::printf("fuzz_remotecommands: %ld inputs in %.2f s (%.0f/s), %ld accepted (%ld with a value), %ld failures\n",
                inputs, s, inputs / s, accepted, withValue, failures);
    return failures ? 1 : 0;
}
