#pragma once

// Spinner: the small turning arc of a state that waits for the worker ("Rendering page…"), in `muted`,
// 20 across. It turns only while visible, and stands still when the desktop asks for reduced motion.
// No signals.

#include <QWidget>

class QTimer;

namespace kivo {

class Spinner : public QWidget {
    Q_OBJECT

public:
    explicit Spinner(QWidget* parent = nullptr);

    QSize sizeHint() const override { return {side, side}; }

    static constexpr int side = 20;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer* turn_;
    int angle_ = 0;
};

}  // namespace kivo
