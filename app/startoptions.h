#pragma once
#include "link/failure.h"
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

// The command line of kalmir, for a desktop shortcut that connects and polls
// at start. Each option stands for what the user would do in the window.
struct StartOptions {
    std::optional<QString> port; // text for the port list
    std::optional<int> speed;    // one of the speed list's entries
    QList<uint8_t> devices;      // "Добавить прибор", in order, no repeats
    bool connect = false;        // "Соединить"
    bool poll = false;           // "Запрос"
    bool chart = false;          // the chart window
    bool log = false;            // "Запись в файл"
    // Unattended runs (a demo, a check): end after this many seconds, then
    // save the window pictures to shotsDir and print the statistics.
    std::optional<int> quitAfter;
    std::optional<QString> shotsDir;
    std::optional<QString> monitorFile; // every frame on the line appended here, as CSV
    std::optional<int> searchMarginMs;  // the fast search's wait for an answer to begin
    bool version = false;
    bool help = false;
};

// `arguments` includes the program name. Options take their value as the
// next argument or after '=' (--speed=9600). A bad one is a Config failure
// whose text (in Russian) says why.
Result<StartOptions> parseStartOptions(const QStringList &arguments);
// The help text, in Russian.
QString startUsage();
