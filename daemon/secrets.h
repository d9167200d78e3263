#pragma once
#include "link/failure.h"
#include <QString>

// The broker password, kept in a file of its own so the configuration may be
// readable. The file must not be readable by others than its owner and
// group; the first line is the password, or a Config failure that says why not.
// `what` names the file in the failures ("password file", "token file").
Result<QString> readPasswordFile(const QString &path, const QString &what = QStringLiteral("password file"));
