#pragma once
#include "link/failure.h"
#include <QSerialPort>
#include <QString>

// What is known about a port that would not open: Qt's error and the facts
// of the device file.
struct PortOpenFacts {
    QSerialPort::SerialPortError error = QSerialPort::NoError;
    QString device;           // the system path that was opened
    bool exists = false;
    bool accessible = false;  // this user may read and write the file
    QString group;            // the file's group, empty if unknown
};

// What a failed open was. Qt reports a lock held by another program,
// a device in exclusive use (EBUSY) and a file this user may not open
// (EACCES) all as PermissionError; the file's permissions tell them apart.
Failure portOpenFailure(const PortOpenFacts &facts);

// Gathers the facts of `device` after `error`.
PortOpenFacts portOpenFacts(QSerialPort::SerialPortError error, const QString &device);
