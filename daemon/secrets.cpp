#include "daemon/secrets.h"
#include <QFile>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {
// The whole sentence is the failure's text: it names the file where it reads best.
Failure refused(const QString &why)
{
    return Failure::withText(Failure::Kind::Config, why);
}
} // namespace

Result<QString> readPasswordFile(const QString &path, const QString &what, SecretBlanks blanks)
{
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return refused(u"%1 %2: %3"_s.arg(what, path, QString::fromLocal8Bit(std::strerror(errno))));
    const QString mode = u"%1"_s.arg(st.st_mode & 07777, 4, 8, QChar(u'0'));
    if (st.st_mode & S_IROTH)
        return refused(u"%1 %2 is readable by every user (mode %3); allow only its owner and group: chmod o-rwx %2"_s
                        .arg(what, path, mode));
    // Whoever may write it may point the service at a broker account of theirs.
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return refused(u"%1 %2 may be written by others than its owner (mode %3): chmod go-w %2"_s
                        .arg(what, path, mode));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refused(u"%1 %2: %3"_s.arg(what, path, file.errorString()));
    QByteArray line = file.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (blanks == SecretBlanks::Trimmed)
        line = line.trimmed();
    if (line.isEmpty())
        return refused(u"%1 %2 is empty"_s.arg(what, path));
    if (blanks == SecretBlanks::RefusedAtEnd && (line.endsWith(' ') || line.endsWith('\t')))
        return refused(u"%1 %2: the password ends in a blank (a space or a tab), which is taken for a slip: "
                       "remove it from the file"_s.arg(what, path));
    return QString::fromUtf8(line);
}
