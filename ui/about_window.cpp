#include "ui/about_window.h"

#include <array>
#include <vector>

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

#include "engine/user_messages.h"
#include "ui/twips.h"

namespace tarnwick::ui {
namespace {

struct Placed {
    QWidget* widget;
    QRect twips;
};

QLabel* add_label(QWidget* parent, const QString& name, const QString& text, Qt::Alignment alignment) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(alignment | Qt::AlignTop);
    return label;
}

}  // namespace

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
}

void LinkLabel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space) {
        emit clicked();
        return;
    }
    QLabel::keyPressEvent(event);
}

void LinkLabel::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (!hasFocus()) return;
    QStylePainter painter(this);
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.rect = contentsRect().intersected(QRect(QPoint(0, 0), QSize(fontMetrics().horizontalAdvance(text()) + kLabelMarginPx,
                                                                        fontMetrics().height())));
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
}

About_Form::About_Form(PlatformServices services)
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      services_(services) {
    setObjectName(QStringLiteral("About_Form"));
    setWindowTitle(text_of(messages::captions::kAboutTitle));
    setAttribute(Qt::WA_DeleteOnClose);
    // A tool window would not keep the program alive; this one must, once the
    // main window has closed.
    setAttribute(Qt::WA_QuitOnClose, true);
    QLabel* name = add_label(this, QStringLiteral("Label1"), text_of(messages::captions::kAboutName) + version_text(),
                             Qt::AlignHCenter);
    QFont name_font(QStringLiteral("MS Sans Serif"));
    name_font.setPointSizeF(9.75);
    name_font.setWeight(QFont::Normal);
    name->setFont(name_font);
    QLabel* maker = add_label(this, QStringLiteral("Label2"), text_of(messages::captions::kAboutMaker), Qt::AlignHCenter);
    QLabel* find = add_label(this, QStringLiteral("Label3"), text_of(messages::captions::kAboutFind), Qt::AlignLeft);

    link_ = new LinkLabel(kMakerAddress, this);
    link_->setObjectName(QStringLiteral("Label4"));
    link_->setTextFormat(Qt::PlainText);
    link_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette blue = link_->palette();
    blue.setColor(QPalette::WindowText, QColor(0, 0, 255));
    link_->setPalette(blue);
    link_->setCursor(Qt::PointingHandCursor);
    link_->setFocusPolicy(Qt::StrongFocus);
    connect(link_, &LinkLabel::clicked, this, &About_Form::open_link);

    close_ = new QPushButton(text_of(messages::captions::kAboutClose), this);
    close_->setObjectName(QStringLiteral("Command1"));
    close_->setDefault(true);
    close_->setFocus();
    connect(close_, &QPushButton::clicked, this, &QWidget::close);

    const std::array<Placed, 5> placed{{
        {name, {120, 120, 3375, 255}},
        {maker, {120, 480, 3495, 375}},
        {find, {840, 960, 2055, 255}},
        {link_, {600, 1200, 2775, 495}},
        {close_, {1080, 1680, 1455, 375}},
    }};
    std::vector<FitBox> boxes;
    for (const Placed& p : placed) {
        const QSize needed = p.widget == close_
                                 ? QSize(close_->sizeHint().width(), close_->fontMetrics().height())
                                 : label_text_size(static_cast<QLabel*>(p.widget));
        boxes.push_back({needed, p.twips.size()});
    }
    layout_ = TwipsLayout(scale_to_fit(boxes));
    for (const Placed& p : placed) {
        p.widget->setGeometry(layout_.rect(p.twips.x(), p.twips.y(), p.twips.width(), p.twips.height()));
    }
    setFixedSize(layout_.px(3645), layout_.px(2220));
}

void About_Form::open_link() {
    const QString address = link_->text();
    if (!services_.browser.open_url(QUrl(address))) {
        services_.messages.show_message(this, QString::fromStdString(messages::browser_unavailable(address.toStdString())));
    }
}

void About_Form::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void About_Form::showEvent(QShowEvent* event) {
    if (!placed_) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, frameSize(), screen->availableGeometry())
                     .topLeft());
        }
        placed_ = true;
    }
    QWidget::showEvent(event);
}

}  // namespace tarnwick::ui
