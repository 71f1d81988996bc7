#pragma once

// CanvasArea: the middle of the canvas column, on `canvas`. It shows one of three states, chosen afresh
// whenever the workspace changes: the page (the workspace's rendered page image with its sharper tiles
// over it, 24 from the edges of a scroll area that scrolls both ways, under the overlay shadow) when there
// is a usable image of the shown page; "Rendering page…" while the document has pages but no image yet;
// otherwise the empty state ("Drop a PDF here", with "Open a PDF…" calling Workspace::openPanel()). The
// activity card floats over its bottom edge. Its size goes to the workspace's viewport, and the part of
// the page on screen to its visible canvas rectangle (asking for tiles), whenever they change.
//
// The page is shown as a picture only: selecting, drawing and the accessibility layer over it belong to
// the page canvas that will take the page view's place.

#include <QWidget>

#include <vector>

#include "app/filled_panel.hpp"
#include "workspace/workspace_types.hpp"

class QScrollArea;
class QStackedWidget;

namespace kivo {

class ActivityCard;
class EmptyStateView;
class PageImageView;
class Workspace;

class CanvasArea : public FilledPanel {
    Q_OBJECT

public:
    enum class Shown { empty, rendering, page };

    CanvasArea(Workspace& workspace, QWidget* parent = nullptr);

    Shown shown() const noexcept { return shown_; }
    ActivityCard* activityCard() const { return card_; }
    PageImageView* pageView() const { return page_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();
    void reportVisiblePart();

    Workspace& workspace_;
    QStackedWidget* states_;
    EmptyStateView* empty_;
    QWidget* rendering_;
    QScrollArea* scroll_;
    PageImageView* page_;
    ActivityCard* card_;
    Shown shown_ = Shown::empty;
};

// The rendered page as a picture, at its size in points, with room for the padding and the shadow.
class PageImageView : public QWidget {
    Q_OBJECT

public:
    explicit PageImageView(QWidget* parent = nullptr);

    void setImage(const QImage& image, std::vector<PageTile> tiles);
    const QImage& image() const { return image_; }
    // Where the page is drawn, inside the padding.
    QRectF pageRect() const;

    QSize sizeHint() const override;

    static constexpr int padding = 24;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
    std::vector<PageTile> tiles_;
};

}  // namespace kivo
