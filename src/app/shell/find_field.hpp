#pragma once

// FindField: the tool bar's find field. It holds the text to search for (placeholder "Find", read as
// "Find in document") and says when Return was pressed in it. Whenever the workspace's search-focus token
// changes (the Find command raises it), the field takes keyboard focus and selects its text, on the next
// turn of the event loop; the token's value at creation focuses nothing.
//
// Signals: submitted() on Return. What is typed stays here until a search is asked for; the text shows
// the workspace's search query whenever a search changes it.

#include <cstdint>
#include <string>

#include "design/hero_field.hpp"

namespace kivo {

class Workspace;

class FindField : public HeroField {
    Q_OBJECT

public:
    FindField(Workspace& workspace, QWidget* parent = nullptr);

    // What is typed, as a search takes it.
    std::string query() const;

signals:
    void submitted();

private:
    void showQuery();
    void focusOnRequest();

    Workspace& workspace_;
};

}  // namespace kivo
