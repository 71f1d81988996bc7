#pragma once

// FindField: the tool bar's find field. It edits the workspace's search text (placeholder "Find", read as
// "Find in document") and says when Return was pressed in it. Whenever the workspace's search-focus token
// changes (the Find command raises it), the field takes keyboard focus and selects its text, on the next
// turn of the event loop; the token's value at creation focuses nothing.
//
// Signals: submitted() on Return. The text follows the workspace without sending anything back.

#include <cstdint>

#include "design/hero_field.hpp"

namespace kivo {

class Workspace;

class FindField : public HeroField {
    Q_OBJECT

public:
    FindField(Workspace& workspace, QWidget* parent = nullptr);

signals:
    void submitted();

private:
    void showQuery();
    void focusOnRequest();

    Workspace& workspace_;
};

}  // namespace kivo
