#include "support/mainrig.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QStringEncoder>
#include <QTableWidget>
#include <QtTest>

namespace {
const char *const Governed[] = {"Button1", "Button5", "Button3", "Button2", "Button9",  "Button7",
                                "Button4", "Button6", "chk1",    "CheckBox3", "CheckBox4"};
const char *const Options[] = {"cb1", "cb2", "Edit7", "Edit8"};
} // namespace

QByteArray logHeaderBytes()
{
    QStringEncoder cp1251("windows-1251");
    QByteArray bytes = cp1251(QStringLiteral("Время    Uик  Uуф  Uкз  Uт  Пожар Авария К.З."));
    if (cp1251.hasError())
        qFatal("no Windows-1251 encoder");
    return bytes + "\r\n";
}

MainRig::MainRig(std::initializer_list<int> detectors, int readMs)
{
    if (!dir.isValid())
        qFatal("no temporary directory");
    previousDir = QDir::currentPath();
    QDir::setCurrent(dir.path());
    sim.setFrozen(true);
    if (!sim.start())
        qFatal("simulator: %s", qPrintable(sim.errorString()));
    for (int a : detectors)
        sim.addDetector(uint8_t(a));

    form = std::make_unique<MainWindow>(session);
    QObject::connect(&form->errors(), &ErrorReport::reported, [this](const QString &m) { errors << m; });
    form->session().lineChannel().setTiming({0, readMs, 100, 1000});
    form->show();
    if (!QTest::qWaitForWindowExposed(form.get()))
        qFatal("main window not exposed");
}

MainRig::~MainRig()
{
    form.reset();
    QDir::setCurrent(previousDir);
}

QPushButton *MainRig::button(const char *name) const
{
    auto *b = w<QPushButton>(name);
    if (!b)
        qFatal("no button %s", name);
    return b;
}

QString MainRig::caption(const char *name) const { return button(name)->text(); }

void MainRig::click(const char *name) { QTest::mouseClick(button(name), Qt::LeftButton); }

void MainRig::setText(const char *name, const QString &text)
{
    auto *edit = w<QLineEdit>(name);
    if (!edit)
        qFatal("no edit field %s", name);
    edit->setText(text);
}

void MainRig::connectToSim()
{
    w<QComboBox>("cb1")->setEditText(sim.slavePath());
    click("Button1");
}

QString MainRig::enabledControls() const
{
    QStringList on;
    for (const char *name : Governed)
        if (w(name)->isEnabled())
            on << QLatin1String(name);
    return on.join(u' ');
}

bool MainRig::optionsEnabled() const
{
    return std::all_of(std::begin(Options), std::end(Options), [this](const char *n) { return w(n)->isEnabled(); });
}

bool MainRig::optionsDisabled() const
{
    return std::none_of(std::begin(Options), std::end(Options), [this](const char *n) { return w(n)->isEnabled(); });
}

int MainRig::gridRows() const { return w<QTableWidget>("sg1")->rowCount(); }

QString MainRig::gridCell(int gridRow, int column) const
{
    const QTableWidgetItem *item = w<QTableWidget>("sg1")->item(gridRow - 1, column);
    return item ? item->text() : QString();
}

QList<int> MainRig::listedAddresses()
{
    const DeviceList &list = form->session().state().devices;
    QList<int> out;
    for (int i = 0; i < list.count(); ++i)
        out << list.address(i);
    return out;
}

QByteArray MainRig::fileBytes(const QString &fileName) const
{
    QFile f(path(fileName));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QList<int> MainRig::probedAddresses() const
{
    QList<int> out;
    for (const SimFrame &f : sim.frames())
        if (f.direction == SimFrame::Received && !f.bytes.isEmpty())
            out << uint8_t(f.bytes[0]);
    return out;
}
