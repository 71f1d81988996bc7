// What assistive technologies read of the widgets that are one element made of parts: the status banner
// and the row button are read whole, by the design's own factory, which the application installs once.

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QSignalSpy>
#include <QtTest>

#include "design/chip.hpp"
#include "design/row_button.hpp"
#include "design/status_message.hpp"
#include "design/themed_label.hpp"
#include "design_test_support.hpp"

using kivo::RowButton;
using kivo::StatusMessage;

class AccessibilityTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { kivo::testing::prepareApplication(); }

    void statusMessageIsOneStaticText_data() {
        QTest::addColumn<StatusMessage::Kind>("kind");
        QTest::addColumn<QString>("spoken");
        QTest::newRow("warning") << StatusMessage::Kind::warning << "Warning: The file changed on disk.";
        QTest::newRow("error") << StatusMessage::Kind::error << "Error: The file changed on disk.";
    }
    void statusMessageIsOneStaticText() {
        QFETCH(StatusMessage::Kind, kind);
        QFETCH(QString, spoken);
        StatusMessage message(kind, QStringLiteral("The file changed on disk."),
                              kivo::ScaledTextStyle::callout);
        QAccessibleInterface* element = QAccessible::queryAccessibleInterface(&message);
        QVERIFY(element != nullptr);
        QCOMPARE(element->role(), QAccessible::StaticText);
        QCOMPARE(element->text(QAccessible::Name), spoken);
        QCOMPARE(element->childCount(), 0);
    }

    void rowButtonIsOneSelectableButton() {
        RowButton row(true, QMarginsF(9, 9, 9, 9), 8, Qt::AlignVCenter);
        row.add(new kivo::Chip(QStringLiteral("p. 4")));
        row.add(new kivo::ThemedLabel(QStringLiteral("A quote"), kivo::ScaledTextStyle::body, QFont::Normal,
                                      kivo::Theme::Token::foreground));
        row.setAccessibleName(QStringLiteral("Quote on page 4"));
        QAccessibleInterface* element = QAccessible::queryAccessibleInterface(&row);
        QVERIFY(element != nullptr);
        QCOMPARE(element->role(), QAccessible::Button);
        QCOMPARE(element->text(QAccessible::Name), QStringLiteral("Quote on page 4"));
        QCOMPARE(element->childCount(), 0);
        QVERIFY(element->state().selectable);
        QVERIFY(!element->state().selected);
        row.setSelected(true);
        QVERIFY(element->state().selected);

        const QSignalSpy clicks(&row, &QAbstractButton::clicked);
        QCOMPARE(element->actionInterface()->actionNames(),
                 QStringList{QAccessibleActionInterface::pressAction()});
        element->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(clicks.count(), 1);
        row.setEnabled(false);
        element->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(clicks.count(), 1);
    }
};

QTEST_MAIN(AccessibilityTest)
#include "accessibility_test.moc"
