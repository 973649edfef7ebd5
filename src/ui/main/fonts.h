#pragma once

#include <QFont>

// The window fonts by their original names. Neither is found on Linux, so both are
// mapped once to installed sans fonts that hold every Turkish letter.
namespace Fonts {

void installSubstitutes();
QFont tahoma(qreal pointSize, bool bold = false, bool italic = false);
QFont msSansSerif(qreal pointSize = 8.25, bool bold = false);

} // namespace Fonts
