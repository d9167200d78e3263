#pragma once
#include "link/failure.h"
#include <QString>

// What a blank (a space or a tab) at an end of the secret means.
enum class SecretBlanks {
    // Trimmed from both ends: the HTTP token, which is compared with a
    // header that is trimmed as well.
    Trimmed,
    // A trailing one is refused: the broker password, which is sent as it
    // is, and whose trailing blank is far more likely a slip of the editor
    // than meant.
    RefusedAtEnd,
};

// The broker password, kept in a file of its own so the configuration may be
// readable. The file must not be readable by others than its owner and
// group; the first line is the password, or a Config failure that says why not.
// `what` names the file in the failures ("password file", "token file").
Result<QString> readPasswordFile(const QString &path, const QString &what = QStringLiteral("password file"),
                                 SecretBlanks blanks = SecretBlanks::RefusedAtEnd);
