#pragma once
#include <QString>
#include <optional>
#include <utility>
#include <variant>

// What went wrong, in the core's terms: a kind and the facts that go with
// it. Nothing here is a sentence; each edge makes its own: windowText() for
// the window and the command line, kalmird's logText() for its log.
struct Failure {
    enum class Kind {
        // The line
        PortRead,         // reading failed, or the exchange was cut short
        PortWrite,
        PortSettings,     // the port refused its speed or framing
        PortPurge,
        PortSetup,        // would not open, for a reason the system did not tell apart
        PortMissing,      // no such port
        PortBusy,         // in use by another program
        PortAccess,       // path: the device; text: the group that may open it
        PortOpenSetting,  // a setting that cannot change while the port is open
        LineName,         // text: a "tcp://" name that is not HOST:PORT
        ConnectTimeout,   // address; timeoutMs
        ConnectRefused,   // address
        HostNotFound,     // address
        NetworkDown,      // address
        ConnectFailed,    // address; osText
        LineBusy,         // an exchange is still under way
        NotAFrame,        // a guest's request that cannot be sent
        // Values and commands
        BadInteger,       // text: what was typed
        ValueOutOfRange,  // value
        BadUvHours,       // text: what was typed
        SpeedNotListed,   // text: what the list shows
        G42Unknown,       // value: the detector
        ChannelsUnknown,  // value: the detector
        BroadcastAddress,
        NotPolled,        // value: the detector
        NoRequest,        // the code has no request to build
        NoValue,          // a command that takes a value came with neither a value nor its field
        // Files
        FileAccess,       // path; osText
        FileIo,           // path; osText; value: the system's error number
        // A configuration file, a secret file or a command-line option that cannot be used
        Config,           // path, value: the line (-1: none); text: what is wrong there (alone without a path)
    };
    Kind kind = Kind::PortRead;
    QString path;    // a device or a file
    QString address; // a server's HOST:PORT
    QString osText;  // the system's own words
    QString text;    // what was typed, or what a kind says it is
    qint64 value = 0;
    int timeoutMs = 0;

    static Failure of(Kind k)
    {
        Failure f;
        f.kind = k;
        return f;
    }
    static Failure withValue(Kind k, qint64 v)
    {
        Failure f = of(k);
        f.value = v;
        return f;
    }
    static Failure withText(Kind k, QString t)
    {
        Failure f = of(k);
        f.text = std::move(t);
        return f;
    }
    bool operator==(const Failure &) const = default;
};

// A value or the failure that stood in its way, for the calls whose caller
// acts on how they failed.
template <typename T>
class Result {
public:
    Result(T value) : v(std::move(value)) {}
    Result(Failure failure) : v(std::move(failure)) {}
    bool ok() const { return v.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T &operator*() const { return std::get<0>(v); }
    const T *operator->() const { return &std::get<0>(v); }
    const Failure &failure() const { return std::get<1>(v); }

private:
    std::variant<T, Failure> v;
};

// The window's texts of each kind: its Russian messages, and the standard
// English ones its file and number errors have always shown.
QString windowText(const Failure &failure);
// A Config failure as every front end shows it: "path:line: text".
QString configText(const Failure &failure);
