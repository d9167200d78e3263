#pragma once
#include "detector/commandtable.h"
#include <QMap>
#include <QStringList>

// The typed values of commands, keyed by the main window's field names as the
// tests write them; every read is recorded. "cb7" is the new-speed list.
struct NamedFields {
    QMap<QString, QString> text;
    QStringList read;
    int speedEntry = -1;
    QString speedText = QStringLiteral("9600");

    // What the window would store with a command that reads this field.
    FieldReader reader(const QString &name)
    {
        return [this, name] {
            read << name;
            return name == QLatin1String("cb7") ? FieldReading{speedText, speedEntry} : FieldReading{text.value(name)};
        };
    }
};
