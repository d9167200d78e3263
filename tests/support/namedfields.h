#pragma once
#include "detector/commandtable.h"
#include <QMap>
#include <QStringList>

// The typed values of commands, keyed by the main window's field names as the
// tests write them; every read is recorded.
struct NamedFields : CommandFieldSource {
    QMap<QString, QString> text;
    mutable QStringList read;
    int speedEntry = -1;
    QString speedText = QStringLiteral("9600");

    static QString nameOf(CommandField field)
    {
        static const QMap<CommandField, QString> names{
            {CommandField::NewAddress, "Edit2"},   {CommandField::DustThreshold, "Edit3"},
            {CommandField::IrThreshold, "Edit4"},  {CommandField::UvThreshold, "Edit5"},
            {CommandField::SerialNumber, "Edit12"}, {CommandField::HeaterPoint, "Edit16"},
            {CommandField::Password, "edt5"},      {CommandField::UvFaultTime, "edtNEW_DAT"}};
        return names.value(field);
    }
    QString fieldText(CommandField field) const override
    {
        read << nameOf(field);
        return text.value(nameOf(field));
    }
    int newSpeedEntry() const override { return speedEntry; }
    QString newSpeedText() const override { return speedText; }
};
