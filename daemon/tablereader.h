#pragma once
#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

#include <QFile>
#include <QString>
#include <functional>
#include <map>
#include <string>

#include "daemon/config.h"

// Carries a reader's failure out of the nested readers of one file: thrown
// by fail() and caught by loadConfig(), which returns it. It never leaves
// the reading of a file.
struct ConfigError {
    Failure failure;
};

inline Failure configFailure(const QString &file, qint64 line, const QString &what)
{
    Failure f = Failure::withValue(Failure::Kind::Config, line);
    f.path = file;
    f.text = what;
    return f;
}

// Reads one table, key by key: each known key has its reader, anything else
// is an error at the key's own line.
class TableReader {
public:
    TableReader(const QString &file, QString where) : file(file), where(std::move(where)) {}

    [[noreturn]] void fail(const toml::source_region &at, const QString &key, const QString &what) const
    {
        const QString name = where.isEmpty() ? key : where + u'.' + key;
        throw ConfigError{configFailure(file, at.begin.line, name + QStringLiteral(": ") + what)};
    }

    using Reader = std::function<void(const toml::node &, const QString &key)>;

    void read(const toml::table &table, const std::map<std::string, Reader> &readers) const
    {
        for (auto &&[key, node] : table) {
            const auto it = readers.find(std::string(key.str()));
            if (it == readers.end())
                fail(key.source(), QString::fromStdString(std::string(key.str())), QStringLiteral("unknown key"));
            it->second(node, QString::fromStdString(std::string(key.str())));
        }
    }

    QString string(const toml::node &node, const QString &key) const
    {
        if (!node.is_string())
            fail(node.source(), key, QStringLiteral("a string is expected"));
        return QString::fromStdString(node.as_string()->get());
    }

    int integer(const toml::node &node, const QString &key, int64_t min, int64_t max) const
    {
        if (!node.is_integer())
            fail(node.source(), key, QStringLiteral("an integer is expected"));
        const int64_t v = node.as_integer()->get();
        if (v < min || v > max)
            fail(node.source(), key, QStringLiteral("%1 is out of range %2..%3").arg(v).arg(min).arg(max));
        return int(v);
    }

    // A file the service must read at every connect: one it cannot read now
    // would leave it without TLS, so it stops the start instead.
    QString readableFile(const toml::node &node, const QString &key) const
    {
        const QString path = string(node, key);
        QFile file(path);
        if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
            fail(node.source(), key, QStringLiteral("cannot read \"%1\": %2").arg(path, file.errorString()));
        return path;
    }

    double number(const toml::node &node, const QString &key, double min, double max) const
    {
        if (!node.is_number())
            fail(node.source(), key, QStringLiteral("a number is expected"));
        const double v = node.value<double>().value_or(0);
        if (!(v >= min && v <= max))
            fail(node.source(), key, QStringLiteral("%1 is out of range %2..%3").arg(v).arg(min).arg(max));
        return v;
    }

    bool boolean(const toml::node &node, const QString &key) const
    {
        if (!node.is_boolean())
            fail(node.source(), key, QStringLiteral("true or false is expected"));
        return node.as_boolean()->get();
    }

    QString file;
    QString where;
};
