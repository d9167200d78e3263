#include "unattended.h"
#include "chart/chartwindow.h"
#include "dialogs/commstatswindow.h"
#include "main/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QTimer>
#include <cstdio>

namespace {

bool saveShot(QWidget &window, const QString &path)
{
    if (window.grab().save(path))
        return true;
    std::fprintf(stderr, "kalmir: не удалось сохранить %s\n", qPrintable(path));
    return false;
}

// The chart is pictured only when open (one never opened has nothing to
// show); the statistics window is opened for its picture.
bool saveShots(MainWindow &w, const QString &dirName)
{
    const QDir dir(dirName);
    if (!QDir().mkpath(dirName)) {
        std::fprintf(stderr, "kalmir: не удалось создать папку %s\n", qPrintable(dirName));
        return false;
    }
    bool ok = saveShot(w, dir.filePath(QStringLiteral("mainform.png")));
    if (w.chartWindow().isVisible())
        ok = saveShot(w.chartWindow(), dir.filePath(QStringLiteral("chart.png"))) && ok;
    w.commStatsWindow().open();
    ok = saveShot(w.commStatsWindow(), dir.filePath(QStringLiteral("commstats.png"))) && ok;
    return ok;
}

void endRun(MainWindow &w, const StartOptions &o)
{
    const bool shotsSaved = !o.shotsDir || saveShots(w, *o.shotsDir);
    const Session &session = w.session();
    std::fputs(session.linkCounts().textTable(session.listed()).toUtf8().constData(), stdout);
    std::fflush(stdout);
    w.close();
    QApplication::exit(shotsSaved ? 0 : 1);
}

} // namespace

void scheduleUnattendedEnd(MainWindow &window, const StartOptions &options)
{
    if (!options.quitAfter)
        return;
    QTimer::singleShot(*options.quitAfter * 1000, &window, [&window, options] { endRun(window, options); });
}
