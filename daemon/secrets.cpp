#include "secrets.h"
#include <QFile>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

PasswordRead readPasswordFile(const QString &path)
{
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {{}, u"файл пароля %1 не найден"_s.arg(path)};
    if (st.st_mode & S_IROTH)
        return {{}, u"файл пароля %1 может прочитать любой пользователь (права %2): выполните chmod o-rwx %1"_s
                        .arg(path)
                        .arg(st.st_mode & 07777, 4, 8, QChar(u'0'))};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, u"файл пароля %1 не читается: %2"_s.arg(path, file.errorString())};
    QByteArray line = file.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return {{}, u"файл пароля %1 пуст"_s.arg(path)};
    return {QString::fromUtf8(line), {}};
}
