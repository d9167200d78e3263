#pragma once
#include <QString>

// The broker password, kept in a file of its own so the configuration may be
// readable. The file must not be readable by others than its owner and
// group; the first line is the password.
struct PasswordRead {
    QString password;
    QString error; // empty when the password was read
};
// `what` names the file in the errors ("password file", "token file").
PasswordRead readPasswordFile(const QString &path, const QString &what = QStringLiteral("password file"));
