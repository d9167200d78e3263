#include "session/searchsummary.h"

QString fastSearchSummary(int probes, double marginMs)
{
    return QStringLiteral("Быстрый поиск: опрошено адресов: %1, начала ответа ждали %2 мс после запроса. "
                          "Прибор, который отвечает медленнее, найдет обычный поиск (без отметки \"быстро\").")
        .arg(probes)
        .arg(QString::number(marginMs, 'g', 4));
}
