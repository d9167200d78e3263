// kalmir-openport PATH: opens PATH as the program's serial channel does and
// prints "opened" or the message the user would see. Tests run it as another
// user, which a test process cannot become by itself.
#include "link/linechannel.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    LineChannel channel;
    channel.setPortName(QString::fromLocal8Bit(argv[1]));
    const Result<bool> open = channel.open();
    if (!open) {
        std::puts(windowText(open.failure()).toUtf8().constData());
        return 1;
    }
    std::puts("opened");
    return 0;
}
