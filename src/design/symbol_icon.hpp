#pragma once

// Icons of tool bar actions drawn from the design's symbols: tinted in the foreground colour (half
// opacity while disabled) of the appearance shown when they are painted, so a switch between light
// and dark needs no new icons. Any size; never fails (an unknown name draws nothing).

#include <QIcon>
#include <QString>

namespace kivo {

QIcon symbolIcon(const QString& name);

}  // namespace kivo
