#include "app/mainform.h"
#include "ui_mainform.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kalmir"));
    applyApplicationLook();

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Service tool for КАЛМИР-ИК/УФ flame detectors"));
    options.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port to show in the port list, e.g. /dev/ttyUSB0."),
                                  QStringLiteral("name"));
    options.addOption(port);
    options.process(app);

    MainForm mainForm;
    if (options.isSet(port))
        mainForm.ui()->cb1->setEditText(options.value(port));
    mainForm.show();
    return app.exec();
}
