#pragma once

#include <QRect>

namespace tarnwick::ui {

// The windows are laid out in twips (1/1440 inch): 15 twips are one pixel at
// 96 dots per inch. The layout was drawn for a narrow 8-point font; where the
// desktop's default font needs more room, the whole layout is scaled by the
// smallest factor that shows every caption whole, keeping its proportions.
class TwipsLayout {
public:
    explicit TwipsLayout(double scale = 1.0) : scale_(scale < 1.0 ? 1.0 : scale) {}

    double scale() const { return scale_; }
    int px(int twips) const;
    QRect rect(int left, int top, int width, int height) const;

    // The scale at which `needed_px` pixels fit into `available_twips`, never below 1.
    static double to_fit(int needed_px, int available_twips);

private:
    double scale_;
};

}  // namespace tarnwick::ui
