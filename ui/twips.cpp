#include "ui/twips.h"

#include <algorithm>
#include <cmath>

#include <QLabel>

namespace tarnwick::ui {
namespace {

// Scales are rounded up to a hundredth and one more, so the rounding of px()
// cannot clip a pixel.
constexpr double kScaleStepsPerUnit = 100.0;

}  // namespace

int TwipsLayout::px(int twips) const {
    return static_cast<int>(std::lround(static_cast<double>(twips) * scale_ / kTwipsPerPixel));
}

QRect TwipsLayout::rect(int left, int top, int width, int height) const {
    return {px(left), px(top), px(width), px(height)};
}

double TwipsLayout::to_fit(int needed_px, int available_twips) {
    const double at_96_dpi = static_cast<double>(available_twips) / kTwipsPerPixel;
    return std::max(1.0, std::ceil(static_cast<double>(needed_px) / at_96_dpi * kScaleStepsPerUnit + 1.0) /
                             kScaleStepsPerUnit);
}

QSize label_text_size(const QLabel* label) {
    return {label->fontMetrics().horizontalAdvance(label->text()) + kLabelMarginPx, label->fontMetrics().height()};
}

double scale_to_fit(std::span<const FitBox> boxes) {
    double scale = 1.0;
    for (const FitBox& box : boxes) {
        if (box.needed_px.width() > 0) scale = std::max(scale, TwipsLayout::to_fit(box.needed_px.width(), box.available_twips.width()));
        if (box.needed_px.height() > 0) {
            scale = std::max(scale, TwipsLayout::to_fit(box.needed_px.height(), box.available_twips.height()));
        }
    }
    return scale;
}

}  // namespace tarnwick::ui
