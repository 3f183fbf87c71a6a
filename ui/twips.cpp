#include "ui/twips.h"

#include <algorithm>
#include <cmath>

namespace tarnwick::ui {

int TwipsLayout::px(int twips) const {
    return static_cast<int>(std::lround(static_cast<double>(twips) * scale_ / 15.0));
}

QRect TwipsLayout::rect(int left, int top, int width, int height) const {
    return {px(left), px(top), px(width), px(height)};
}

double TwipsLayout::to_fit(int needed_px, int available_twips) {
    const double at_96_dpi = static_cast<double>(available_twips) / 15.0;
    // Round up to a hundredth so the rounding of px() cannot clip a pixel.
    return std::max(1.0, std::ceil(static_cast<double>(needed_px) / at_96_dpi * 100.0 + 1.0) / 100.0);
}

}  // namespace tarnwick::ui
