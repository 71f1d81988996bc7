#pragma once

// Announcer: the window's one accessible status object, which speaks short texts (the status line, "Error: "
// and an error, a worker notice) to screen readers. It is an invisible, empty widget whose accessible name
// is the last text announced; each announce() sends a name change (and, built against Qt 6.8 or later, an
// announcement event of assertive politeness), even when the text repeats. Qt 6.4 has no announcement event,
// so whether a screen reader speaks a name change depends on it. GUI thread only; never fails.

#include <QWidget>

namespace kivo {

class Announcer : public QWidget {
    Q_OBJECT

public:
    explicit Announcer(QWidget* parent);

    void announce(const QString& text);
    QString lastText() const { return text_; }

signals:
    // Every text announced, as it is; for the window's tests.
    void announced(const QString& text);

protected:
    void paintEvent(QPaintEvent*) override {}

private:
    QString text_;
};

}  // namespace kivo
