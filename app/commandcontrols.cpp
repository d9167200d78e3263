#include "app/commandcontrols.h"
#include "polling/sharedstate.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
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
    uint8_t code;            // for Press: the code while the box is not ticked
    uint8_t codeWhenTicked;  // Press only
    const char *needsText;   // the code is stored only while this field is not empty
};

// The chart window's buttons and the value dialog store their codes through
// their own signals.
constexpr CommandControl Controls[] = {
    {"Button4", Trigger::Click, 1, 0, "Edit2"},
    {"Button8", Trigger::Click, 2, 0, nullptr},
    {"Button7", Trigger::Click, 3, 0, nullptr},
    {"Edit4", Trigger::EnterRelease, 4, 0, nullptr},
    {"Edit5", Trigger::EnterRelease, 5, 0, nullptr},
    {"chk1", Trigger::Press, 10, 11, nullptr},
    {"CheckBox3", Trigger::Press, 12, 13, nullptr},
    {"CheckBox4", Trigger::Press, 14, 15, nullptr},
    {"btn4", Trigger::Click, 16, 0, nullptr},
    {"Button17", Trigger::Click, 17, 0, nullptr},
    {"Button22", Trigger::Click, 26, 0, nullptr},
    {"Button23", Trigger::Click, 27, 0, nullptr},
    {"Button24", Trigger::Click, 28, 0, nullptr},
    {"Button25", Trigger::Click, 29, 0, nullptr},
    {"Button26", Trigger::Click, 30, 0, nullptr},
    {"Button27", Trigger::Click, 31, 0, nullptr},
    {"Button28", Trigger::Click, 32, 0, nullptr},
    {"btn2", Trigger::Click, 33, 0, nullptr},
    {"Button30", Trigger::Click, 34, 0, nullptr},
    {"btn1", Trigger::Click, 35, 0, nullptr},
    {"edt5", Trigger::EnterRelease, 35, 0, nullptr},
    {"btn3", Trigger::Click, 37, 0, nullptr},
    {"btn5", Trigger::Click, 38, 0, nullptr},
    {"Button10", Trigger::Click, 39, 0, nullptr},
    {"HartOn", Trigger::Click, 41, 0, nullptr},
};

const CommandControl *rowOf(const QObject *control)
{
    for (const CommandControl &c : Controls)
        if (control->objectName() == QLatin1String(c.name))
            return &c;
    return nullptr;
}
} // namespace

CommandControls::CommandControls(QWidget &mainWindow, SharedState &sharedState)
    : QObject(&mainWindow), window(mainWindow), state(sharedState)
{
    for (const CommandControl &c : Controls) {
        QWidget *w = window.findChild<QWidget *>(QLatin1String(c.name));
        Q_ASSERT_X(w, "CommandControls", c.name);
        if (!w)
            continue;
        if (c.trigger == Trigger::Click) {
            connect(static_cast<QAbstractButton *>(w), &QAbstractButton::clicked, this, [this, row = &c] {
                if (row->needsText && window.findChild<QLineEdit *>(row->needsText)->text().isEmpty())
                    return;
                state.storeCommand(row->code);
            });
        } else {
            w->installEventFilter(this);
        }
    }
}

bool CommandControls::eventFilter(QObject *watched, QEvent *event)
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
        state.storeCommand(static_cast<QCheckBox *>(watched)->isChecked() ? row->codeWhenTicked : row->code);
    } else if (row->trigger == Trigger::EnterRelease && event->type() == QEvent::KeyRelease) {
        const auto *key = static_cast<QKeyEvent *>(event);
        // A held key repeats its release; only the user's one press queues a write.
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && !key->isAutoRepeat())
            state.storeCommand(row->code);
    }
    return false;
}
