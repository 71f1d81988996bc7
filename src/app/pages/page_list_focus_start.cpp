#include "app/pages/page_list_focus_start.hpp"

#include <QEvent>
#include <QTimer>
#include <QWidget>

#include "app/desktop/focused_text.hpp"

namespace kivo {

PageListFocusStart::PageListFocusStart(QWidget* list) : QObject(list), list_(list), window_(list->window()) {
    if (window_->isActiveWindow()) {
        focusListSoon();
    } else {
        window_->installEventFilter(this);
    }
}

bool PageListFocusStart::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && event->type() == QEvent::WindowActivate) focusListSoon();
    return QObject::eventFilter(watched, event);
}

void PageListFocusStart::focusListSoon() {
    if (tried_) return;
    tried_ = true;
    if (window_) window_->removeEventFilter(this);
    QTimer::singleShot(delayMilliseconds, this, &PageListFocusStart::attempt);
}

void PageListFocusStart::attempt() {
    if (withdrawn_ || !list_ || !window_ || !list_->isVisible() || list_->window() != window_) return;
    QWidget* focused = window_->focusWidget();
    if (focused == nullptr || focused == window_ || FocusedText::of(focused))
        list_->setFocus(Qt::OtherFocusReason);
}

}  // namespace kivo
