#pragma once
#include "detector/commandtable.h"
#include <QMap>
#include <QStringList>

// The values of commands' fields as the window's readers give them (already
// parsed: an integer, the baud code of "cb7", or the failure of a text that
// is no value), keyed by the main window's field names; every read is recorded.
struct NamedFields {
    QMap<QString, Result<int32_t>> values;
    QStringList read;

    // What the window would store with a command that reads this field.
    ValueReader reader(const QString &name)
    {
        return [this, name] {
            read << name;
            return values.value(name, Failure::of(Failure::Kind::NoValue));
        };
    }
};
