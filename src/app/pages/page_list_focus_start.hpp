#pragma once

// PageListFocusStart: offers the page list keyboard focus once, 0.3 s after its window first becomes the
// active window (at once when it already is). The list takes it only from a text field or from nobody:
// when the user has already put focus on any other control, it stays there. Made once per page list, as
// its child; it acts at most once in its life.

#include <QObject>
#include <QPointer>

class QWidget;

namespace kivo {

class PageListFocusStart : public QObject {
    Q_OBJECT

public:
    // Watches `list`'s window as it is now: make it once the list has its place in the window.
    explicit PageListFocusStart(QWidget* list);

    static constexpr int delayMilliseconds = 300;

    // The window has placed the keyboard itself (on a document's page): the offer is withdrawn, so a field
    // the person chose after that keeps it.
    void withdraw() { withdrawn_ = true; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void focusListSoon();
    void attempt();

    QPointer<QWidget> list_;
    QPointer<QWidget> window_;
    bool tried_ = false;
    bool withdrawn_ = false;
};

}  // namespace kivo
