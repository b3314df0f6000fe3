// The fonts the windows were designed in, mapped to metric-compatible fonts that every Linux and
// Windows machine can have (the Liberation family), so that texts fill their boxes as designed
// instead of spilling over or wrapping in the toolkit's larger default font.
#pragma once

#include <QFont>

namespace flashupdate::fonts {

// The toolkit's dialog font of the design, 8.25 pt: the default of every control that names none.
inline QFont dialogDefault() {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPointSizeF(8.25);
    return font;
}

// "Arial Narrow".
inline QFont arialNarrow(double pointSize) {
    QFont font(QStringLiteral("Liberation Sans Narrow"));
    font.setPointSizeF(pointSize);
    font.setWeight(QFont::Normal);
    return font;
}

// "MS Sans Serif".
inline QFont msSansSerif(double pointSize, QFont::Weight weight) {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPointSizeF(pointSize);
    font.setWeight(weight);
    return font;
}

}  // namespace flashupdate::fonts
