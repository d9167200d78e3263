#include "main/commandpanel.h"
#include "dialogs/uvfaulttimedialog.h"
#include "main/fieldvalue.h"
#include "main/mainwindow.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QWidget>

namespace {
enum class Trigger {
    Click,        // a button's click
    EnterRelease, // the Enter key released in an edit field
    Press,        // mouse press on a check box, before it toggles
};

struct CommandControl {
    const char *name;
    Trigger trigger;
    Command command;            // for Press: the command while the box is not ticked
    Command commandWhenTicked;  // Press only
    const char *needsText;   // the code is stored only while this field is not empty
};

// The chart window's buttons and the value dialog store their codes through
// their own signals.
constexpr CommandControl Controls[] = {
    {"Button4", Trigger::Click, Command::WriteAddress, Command::None, "Edit2"},
    {"Button8", Trigger::Click, Command::WriteBaud, Command::None, nullptr},
    {"Button7", Trigger::Click, Command::WriteDustThreshold, Command::None, nullptr},
    {"Edit4", Trigger::EnterRelease, Command::WriteIrThreshold, Command::None, nullptr},
    {"Edit5", Trigger::EnterRelease, Command::WriteUvThreshold, Command::None, nullptr},
    {"chk1", Trigger::Press, Command::DustChannelOn, Command::DustChannelOff, nullptr},
    {"CheckBox3", Trigger::Press, Command::IrChannelOn, Command::IrChannelOff, nullptr},
    {"CheckBox4", Trigger::Press, Command::UvChannelOn, Command::UvChannelOff, nullptr},
    {"btn4", Trigger::Click, Command::ResetSettings, Command::None, nullptr},
    {"Button17", Trigger::Click, Command::ResetFire, Command::None, nullptr},
    {"Button22", Trigger::Click, Command::WriteSerialNumber, Command::None, nullptr},
    {"Button23", Trigger::Click, Command::ToggleResponseSpeed, Command::None, nullptr},
    {"Button24", Trigger::Click, Command::ToggleRange, Command::None, nullptr},
    {"Button25", Trigger::Click, Command::ToggleFireLatch, Command::None, nullptr},
    {"Button26", Trigger::Click, Command::ToggleFireRelay, Command::None, nullptr},
    {"Button27", Trigger::Click, Command::ToggleFaultRelay, Command::None, nullptr},
    {"Button28", Trigger::Click, Command::DustAutoCalibration, Command::None, nullptr},
    {"btn2", Trigger::Click, Command::ToggleHeater, Command::None, nullptr},
    {"Button30", Trigger::Click, Command::WriteHeaterPoint, Command::None, nullptr},
    {"btn1", Trigger::Click, Command::EnterPassword, Command::None, nullptr},
    {"edt5", Trigger::EnterRelease, Command::EnterPassword, Command::None, nullptr},
    {"btn3", Trigger::Click, Command::ResetCounters, Command::None, nullptr},
    {"btn5", Trigger::Click, Command::ResetDustSettings, Command::None, nullptr},
    {"Button10", Trigger::Click, Command::ToggleFaultLatch, Command::None, nullptr},
    {"HartOn", Trigger::Click, Command::HartOn, Command::None, nullptr},
};

const CommandControl *rowOf(const QObject *control)
{
    for (const CommandControl &c : Controls)
        if (control->objectName() == QLatin1String(c.name))
            return &c;
    return nullptr;
}
} // namespace

CommandPanel::CommandPanel(QWidget &mainWindow, UvFaultTimeDialog &dialog)
    : QObject(&mainWindow), window(mainWindow), uvFaultTimeDialog(dialog)
{
    for (const CommandControl &c : Controls) {
        QWidget *w = window.findChild<QWidget *>(QLatin1String(c.name));
        Q_ASSERT_X(w, "CommandPanel", c.name);
        if (!w)
            continue;
        if (c.trigger == Trigger::Click) {
            connect(static_cast<QAbstractButton *>(w), &QAbstractButton::clicked, this, [this, row = &c] {
                if (row->needsText && window.findChild<QLineEdit *>(row->needsText)->text().isEmpty())
                    return;
                emit commandRequested(row->command);
            });
        } else {
            w->installEventFilter(this);
        }
    }
}

bool CommandPanel::eventFilter(QObject *watched, QEvent *event)
{
    const CommandControl *row = rowOf(watched);
    // A disabled control still sees the mouse: the press reaches its filters
    // before the control ignores it, and must not store a code.
    if (!row || !static_cast<QWidget *>(watched)->isEnabled())
        return false;
    // The second click of a double click arrives as a double-click event and
    // toggles the box too, so it must queue the code for the state it sees.
    const bool press = event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick;
    if (row->trigger == Trigger::Press && press && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        // Seen before the toggle: the box's state says which way the channel goes.
        emit commandRequested(static_cast<QCheckBox *>(watched)->isChecked() ? row->commandWhenTicked : row->command);
    } else if (row->trigger == Trigger::EnterRelease && event->type() == QEvent::KeyRelease) {
        const auto *key = static_cast<QKeyEvent *>(event);
        // A held key repeats its release; only the user's one press queues a write.
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && !key->isAutoRepeat())
            emit commandRequested(row->command);
    }
    return false;
}

namespace {
// Where each typed value of a command is entered in the main window.
struct ValueField {
    Command command;
    const char *name;
};
constexpr ValueField ValueFields[] = {
    {Command::WriteAddress, "Edit2"},      {Command::WriteDustThreshold, "Edit3"},
    {Command::WriteIrThreshold, "Edit4"},  {Command::WriteUvThreshold, "Edit5"},
    {Command::WriteSerialNumber, "Edit12"}, {Command::WriteHeaterPoint, "Edit16"},
    {Command::EnterPassword, "edt5"},
};

// Reads and parses the field when the request is built; the window may be
// gone before a stored command is sent.
template <typename Field, typename Read>
ValueReader readerOf(Command command, Field *field, Read read)
{
    return [command, field = QPointer<Field>(field), read] {
        return fieldValue(command, field ? read(*field) : FieldReading{});
    };
}
} // namespace

ValueReader CommandPanel::valueReader(Command command) const
{
    if (command == Command::WriteUvFaultTime)
        return readerOf(command, &uvFaultTimeDialog,
                        [](const UvFaultTimeDialog &d) { return FieldReading{d.valueText()}; });
    if (command == Command::WriteBaud)
        return readerOf(command, window.findChild<QComboBox *>(QStringLiteral("cb7")), [](const QComboBox &list) {
            return FieldReading{list.currentText(), MainWindow::selectedEntry(&list)};
        });
    for (const ValueField &f : ValueFields)
        if (f.command == command)
            return readerOf(command, window.findChild<QLineEdit *>(QLatin1String(f.name)),
                            [](const QLineEdit &edit) { return FieldReading{edit.text()}; });
    return {};
}
