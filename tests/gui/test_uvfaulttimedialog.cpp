// The value entry dialog typed into like a user: only digits reach the field,
// Enter with a value queues code 40 and hides it, the value stays for next time.
#include "dialogs/uvfaulttimedialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

namespace {
// Types text key by key; unlike QTest::keyClicks it also takes non-ASCII letters.
void type(QWidget *w, const QString &text)
{
    for (QChar c : text)
        QTest::sendKeyEvent(QTest::Click, w, Qt::Key(c.toUpper().unicode()), QString(c), Qt::NoModifier);
}
} // namespace

class TestUnit2 : public QObject {
    Q_OBJECT

private slots:
    void startsEmptyAndModeless();
    void onlyDigitsAreTyped_data();
    void onlyDigitsAreTyped();
    void editingKeysStillWork();
    void emptyEnterDoesNothing();
    void enterQueuesWriteAndKeepsValue();
};

void TestUnit2::startsEmptyAndModeless()
{
    UvFaultTimeDialog form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Запись"));
    QVERIFY(!form.isModal());
    QVERIFY(!form.isVisible());
    QCOMPARE(form.findChild<QLabel *>(QStringLiteral("lbl1"))->text(), QStringLiteral("Новое значение + Enter"));
    QCOMPARE(form.findChild<QLineEdit *>(QStringLiteral("edtNEW_DAT")), form.edtNEW_DAT);
    QVERIFY(form.valueText().isEmpty());
}

void TestUnit2::onlyDigitsAreTyped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");
    QTest::newRow("letter between digits") << "1a2" << "12";
    QTest::newRow("minus sign") << "-5" << "5";
    QTest::newRow("decimal separators") << "1.5,0" << "150";
    QTest::newRow("blanks and signs") << " +7 x$" << "7";
    QTest::newRow("cyrillic") << "2ч4" << "24";
    QTest::newRow("all digits") << "0123456789" << "0123456789";
}

void TestUnit2::onlyDigitsAreTyped()
{
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    UvFaultTimeDialog form;
    form.show();
    QSignalSpy stored(&form, &UvFaultTimeDialog::commandRequested);
    type(form.edtNEW_DAT, typed);
    QCOMPARE(form.valueText(), kept);
    QCOMPARE(stored.count(), 0);
}

void TestUnit2::editingKeysStillWork()
{
    UvFaultTimeDialog form;
    form.show();
    QTest::keyClicks(form.edtNEW_DAT, "123");
    QTest::keyClick(form.edtNEW_DAT, Qt::Key_Backspace);
    QCOMPARE(form.valueText(), QStringLiteral("12"));
    QTest::keyClick(form.edtNEW_DAT, Qt::Key_Left);
    QTest::keyClicks(form.edtNEW_DAT, "9");
    QCOMPARE(form.valueText(), QStringLiteral("192"));

    // Escape and Tab are characters too: discarded, the dialog stays as it is.
    QTest::keyClick(form.edtNEW_DAT, Qt::Key_Escape);
    QTest::keyClick(form.edtNEW_DAT, Qt::Key_Tab);
    QVERIFY(form.isVisible());
    QCOMPARE(form.valueText(), QStringLiteral("192"));
}

void TestUnit2::emptyEnterDoesNothing()
{
    UvFaultTimeDialog form;
    form.show();
    QSignalSpy stored(&form, &UvFaultTimeDialog::commandRequested);
    QTest::keyClick(form.edtNEW_DAT, Qt::Key_Return);
    QTest::keyClick(form.edtNEW_DAT, Qt::Key_Enter);
    QCOMPARE(stored.count(), 0);
    QVERIFY(form.isVisible());
}

void TestUnit2::enterQueuesWriteAndKeepsValue()
{
    UvFaultTimeDialog form;
    form.show();
    QSignalSpy stored(&form, &UvFaultTimeDialog::commandRequested);
    QTest::keyClicks(form.edtNEW_DAT, "24");
    QTest::keyClick(form.edtNEW_DAT, Qt::Key_Return);
    QCOMPARE(stored.count(), 1);
    QCOMPARE(int(stored.at(0).at(0).value<uint8_t>()), 40);
    QVERIFY(!form.isVisible());

    form.show();
    QCOMPARE(form.edtNEW_DAT->text(), QStringLiteral("24"));
    // A digit typed before the command goes out changes the value it will carry.
    QTest::keyClicks(form.edtNEW_DAT, "5");
    QCOMPARE(form.valueText(), QStringLiteral("245"));
    QTest::keyClick(form.edtNEW_DAT, Qt::Key_Enter); // the keypad's Enter too
    QCOMPARE(stored.count(), 2);
    QVERIFY(!form.isVisible());
}

QTEST_MAIN(TestUnit2)
#include "test_uvfaulttimedialog.moc"
