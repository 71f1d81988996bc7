#pragma once

// The gallery's sample sections, each built from the design's own controls.

#include <QList>

class QWidget;

namespace kivo::Gallery {

QWidget* buttons();
QWidget* chips();
QWidget* segments();
QWidget* toggles();
// Sample cards with and without header, accessory and rows.
QList<QWidget*> cards();
QWidget* emptyStates();
// `focusField` receives the field meant to show keyboard focus.
QWidget* fields(QWidget** focusField);
QWidget* symbols();
QWidget* tokens();
QWidget* shadows();
QWidget* standardButtons();
// The editor's labels that cut or clamp, inline code and the two banners.
QWidget* labels();
// Row buttons, filled panels with the spinner, tool bar icons and a button that opens the prompt dialog.
QWidget* rowsAndPanels();

}  // namespace kivo::Gallery
