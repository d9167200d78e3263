#include "daemon/secrets.h"
#include <QFile>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

PasswordRead readPasswordFile(const QString &path)
{
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {{}, u"password file %1: not found"_s.arg(path)};
    if (st.st_mode & S_IROTH)
        return {{}, u"password file %1 is readable by every user (mode %2); allow only its owner and group: chmod o-rwx %1"_s
                        .arg(path)
                        .arg(st.st_mode & 07777, 4, 8, QChar(u'0'))};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, u"password file %1: %2"_s.arg(path, file.errorString())};
    QByteArray line = file.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return {{}, u"password file %1 is empty"_s.arg(path)};
    return {QString::fromUtf8(line), {}};
}
