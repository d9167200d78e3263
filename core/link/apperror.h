#pragma once
#include <QString>
#include <exception>

// A failure that stops the action that met it and is shown to the user by the
// application's error handler: port, file and text conversion errors.
class AppError : public std::exception {
public:
    explicit AppError(QString message) : msg(std::move(message)), utf8(msg.toUtf8()) {}
    const QString &message() const noexcept { return msg; }
    const char *what() const noexcept override { return utf8.constData(); }

private:
    QString msg;
    QByteArray utf8;
};
