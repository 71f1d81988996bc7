#pragma once

// RecoveryRow: one checkpoint in the recovery sheet: its title (body, medium) over its detail line
// (caption, muted), 3 apart, each one line cut short when too long, then "Restore" (primary, sm) and
// "Discard" (dangerSoft, sm), 10 apart, inset 10, on `surface` with corner radius 16 and the surface shadow,
// which the widget keeps room for around the row. Texts are plain. Signals: restoreClicked() and
// discardClicked().

#include <QWidget>

namespace kivo {

class HeroButton;

class RecoveryRow : public QWidget {
    Q_OBJECT

public:
    RecoveryRow(const QString& title, const QString& detail, QWidget* parent = nullptr);

    // The room the shadow takes around the row, which the sheet counts in its spacing.
    static QMarginsF shadowMargins();

signals:
    void restoreClicked();
    void discardClicked();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    HeroButton* restore_;
    HeroButton* discard_;
};

}  // namespace kivo
