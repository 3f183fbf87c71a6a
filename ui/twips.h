#pragma once

#include <QRect>
#include <QSize>

#include <span>

class QLabel;

namespace tarnwick::ui {

// The windows are laid out in twips (1/1440 inch): 15 twips are one pixel at
// 96 dots per inch. The layout was drawn for a narrow 8-point font; where the
// desktop's default font needs more room, the whole layout is scaled by the
// smallest factor that shows every caption whole, keeping its proportions.
class TwipsLayout {
public:
    static constexpr int kTwipsPerPixel = 15;  // at 96 dots per inch

    explicit TwipsLayout(double scale = 1.0) : scale_(scale < 1.0 ? 1.0 : scale) {}

    double scale() const { return scale_; }
    int px(int twips) const;
    QRect rect(int left, int top, int width, int height) const;

    // The scale at which `needed_px` pixels fit into `available_twips`, never below 1.
    static double to_fit(int needed_px, int available_twips);

private:
    double scale_;
};

// What a caption needs, in pixels, and the box it is given, in twips. A
// needed size of 0 leaves that direction unchecked.
struct FitBox {
    QSize needed_px;
    QSize available_twips;
};

// A label beyond its text's advance needs this many pixels to draw it unclipped.
inline constexpr int kLabelMarginPx = 2;

// The size a label's one-line text needs: its advance plus the margin, and its font's height.
QSize label_text_size(const QLabel* label);

// The smallest scale, never below 1, at which every box shows its caption whole.
double scale_to_fit(std::span<const FitBox> boxes);

}  // namespace tarnwick::ui
