// Window layouts are drawn in twips (1/1440 inch); the screen shows them at 15 twips a pixel,
// the 96 dots per inch the layouts were drawn for.
#pragma once

#include <QRect>

namespace flashupdate {

inline constexpr int kTwipsPerPixel = 15;

// Rounds to the nearest pixel, so 852 twips (56.8 px) becomes 57 px rather than 56.
constexpr int twipsToPixels(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

constexpr QRect twipsRect(int left, int top, int width, int height) {
    return QRect(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width),
                 twipsToPixels(height));
}

}  // namespace flashupdate
