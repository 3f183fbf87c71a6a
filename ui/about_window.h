#pragma once

#include <QLabel>
#include <QWidget>

#include <string_view>

#include "engine/user_messages.h"
#include "tarnwick_version.h"
#include "ui/platform_services.h"
#include "ui/twips.h"

class QPushButton;

namespace tarnwick::ui {

// Text of the engine's, for Qt.
inline QString text_of(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The program's version, as both windows show it.
inline QString version_text() { return text_of(kVersion); }

// The maker's web page: shown on the link label and opened by it.
inline const QString kMakerAddress = text_of(messages::captions::kMakerAddress);

// A label that reports a click, or Enter or Space while it has the keyboard
// focus (which it shows): the About window's link.
class LinkLabel final : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

// Names the program and its maker and links to the maker's page. Modeless,
// without an owner and kept out of the taskbar; closing it discards it.
class About_Form final : public QWidget {
    Q_OBJECT

public:
    explicit About_Form(PlatformServices services);

    LinkLabel* link() const { return link_; }
    QPushButton* close_button() const { return close_; }
    void open_link();
    const TwipsLayout& layout() const { return layout_; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    PlatformServices services_;
    LinkLabel* link_ = nullptr;
    QPushButton* close_ = nullptr;
    bool placed_ = false;
    TwipsLayout layout_;
};

}  // namespace tarnwick::ui
