#pragma once

// CanvasBar: the bar over the canvas. The tool picker (a pill named "Tool" with the seven tools as
// symbols), undo and redo (enabled while the adopted document says they can act), the zoom group (zoom
// out, the zoom menu showing "120%" with "Fit Page", "Fit Width" and the presets 50% to 400%, zoom in) and
// the page field ("Page", 52 wide, Return jumps) with "of N" beside it. In one row while that fits: picker,
// history, a flexible gap of at least 8, zoom, page; otherwise two rows 8 apart, picker and history above,
// zoom and page below with the page group at the trailing edge. Inset 12 left and right and 8 top and
// bottom, groups 10 apart, all times the text scale; `background` with a separator line along the bottom.
//
// It keeps nothing of its own: the tools, the history and zoom buttons and the zoom menu's fits run the
// window's commands (EditorCommands), which decide when they are enabled; the tool pill, the zoom menu's
// title and the page field show the workspace, and a refresh never sends a command. The zoom steps add or
// take 0.15; the workspace keeps the zoom within 0.25 to 4.0.

#include <QAccessibleInterface>
#include <QToolButton>

#include "design/filled_panel.hpp"

class QLineEdit;
class QMenu;

namespace kivo {

class EditorCommands;
class HeroButton;
class HeroField;
class PillSegment;
class Workspace;

// The zoom menu's button: borderless, its title the zoom in whole percent; read as "Zoom" with the
// value "120 percent".
class ZoomMenuButton : public QToolButton {
    Q_OBJECT

public:
    explicit ZoomMenuButton(QWidget* parent = nullptr);

    // Its interface, for the app's accessibility factory.
    static QAccessibleInterface* accessibleFor(QWidget* widget);

    double zoom() const noexcept { return zoom_; }
    // Shows the shown page's zoom as it is now; the zoom itself changes only through ShownPage.
    void showZoom(double zoom);
    // "120 percent".
    QString spokenValue() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    double zoom_ = 1;
};

class CanvasBar : public FilledPanel {
    Q_OBJECT

public:
    // `commands` must outlive the bar.
    CanvasBar(Workspace& workspace, const EditorCommands& commands, QWidget* parent = nullptr);

    // The zoom in whole percent, halves away from zero: 0.625 is "63%".
    static QString zoomText(double zoom);

    static constexpr double presets[] = {0.5, 0.75, 1.0, 1.25, 1.5, 2.0, 4.0};

    bool twoRows() const noexcept { return twoRows_; }
    // "of 12", in the user's locale.
    QString pageCountText() const { return pageCount_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct Metrics;
    Metrics metrics() const;
    void arrange();
    void refresh();
    // The page field shows the workspace's page position whenever that changes; what is typed stays
    // until then, or until Return shows the page it names.
    void showPageJump();
    void jumpToTypedPage();
    void bindCommands(const EditorCommands& commands);

    Workspace& workspace_;
    PillSegment* tools_;
    HeroButton* undo_;
    HeroButton* redo_;
    HeroButton* zoomOut_;
    ZoomMenuButton* zoomMenu_;
    HeroButton* zoomIn_;
    HeroField* page_;
    QMenu* menu_;
    QString pageCount_;
    QRectF pageCountRect_;
    bool twoRows_ = false;
};

}  // namespace kivo
