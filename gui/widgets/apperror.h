#pragma once
#include "link/inttext.h"
#include <QString>
#include <exception>

// Stops a step of the window that met a bad field or axis value; the window's
// error handler shows its message. The core returns its failures as values.
class AppError : public std::exception {
public:
    explicit AppError(QString message) : msg(std::move(message)), utf8(msg.toUtf8()) {}
    const QString &message() const noexcept { return msg; }
    const char *what() const noexcept override { return utf8.constData(); }

private:
    QString msg;
    QByteArray utf8;
};

// A typed field's integer, a bad text raised for the window's error handler.
inline int32_t typedInteger(const QString &text)
{
    const Result<int32_t> v = readTypedInteger(text);
    if (!v)
        throw AppError(windowText(v.failure()));
    return *v;
}
