#include "ui/main_window.h"

#include <cmath>

#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QStyle>

#include <algorithm>
#include <cmath>

#include "engine/layout_probe.h"
#include "engine/open_voice.h"
#include "engine/patch_catalogue.h"
#include "engine/undo_patch.h"
#include "engine/user_messages.h"
#include "engine/voice_survey.h"

namespace tarnwick::ui {
namespace {

const QString kTitle = text_of(messages::captions::kTitle) + version_text();
const QString kOpenCaption = text_of(messages::captions::kOpen);
const QString kPatchCaption = text_of(messages::captions::kPatch);
const QString kOpenDialogTitle = text_of(messages::captions::kOpenDialogTitle);
const QString kOpenDialogFilter = text_of(messages::captions::kOpenDialogFilter);
const QString kInstructions = text_of(messages::captions::kInstructions);

// The frame that holds each option's box and label: Frame<kFrameOf[k]> holds Check<k>.
constexpr std::array<int, kByOptionNumber> kFrameOf{0, 3, 2, 4, 5, 6, 7, 8, 9, 10, 1,
                                                     11, 12, 13, 14, 15, 16, 17, 18, 19, 20};

constexpr int kTabStripTwips = 500;
// The two lines about the open voice sit under the instructions; what lies
// below moves down by them.
constexpr QRect kSummaryTwips{120, 1815, 7845, 510};
constexpr int kSummaryShift = 540;
// Under them, while the open voice is the result of a recorded save, a row
// says so beside its undo, as an information bar: what lies below moves down
// by it only then, so that the window keeps its size otherwise.
constexpr QRect kLastPatchTwips{120, 2400, 5430, 255};
constexpr QRect kUndoTwips{5670, 2340, 2295, 375};
constexpr int kLastPatchShift = 420;
// A day with the longest name in the longest month: 30 September 2026, noon.
constexpr std::int64_t kLongestDayNs = 1'790'769'600'000'000'000;
// The state text of a row, right of its label.
constexpr QRect kStateTwips{6300, 240, 1155, 255};


// The local files a drag carries; none where it carries anything else.
QStringList dropped_files(const QMimeData* data) {
    QStringList files;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile()) return {};
        files << url.toLocalFile();
    }
    return files;
}

}  // namespace

QString displayed_caption(const QString& stored) {
    return QString::fromStdString(tarnwick::displayed_caption(stored.toStdString()));
}

Tarnwick::Tarnwick(VoiceImage& image, PlatformServices services, std::filesystem::path journal_folder,
                   QWidget* parent)
    : QMainWindow(parent), image_(image), services_(services), journal_folder_(std::move(journal_folder)) {
    setObjectName(QStringLiteral("Tarnwick"));
    setWindowTitle(kTitle);

    about_action_ = menuBar()->addAction(text_of(messages::captions::kAboutMenu));
    about_action_->setObjectName(QStringLiteral("About"));
    connect(about_action_, &QAction::triggered, this, &Tarnwick::show_about);

    // The controls keep their places in a client area of the layout's size;
    // where the screen is smaller, that area scrolls so that each stays in reach.
    scroller_ = new QScrollArea(this);
    scroller_->setObjectName(QStringLiteral("ClientScroller"));
    scroller_->setFrameShape(QFrame::NoFrame);
    scroller_->setWidgetResizable(false);
    scroller_->setFocusPolicy(Qt::NoFocus);  // no stop of its own when tabbing through the controls
    auto* client = new QWidget;
    client->setObjectName(QStringLiteral("Client"));
    scroller_->setWidget(client);
    setCentralWidget(scroller_);

    open_ = new QPushButton(kOpenCaption, client);
    open_->setObjectName(QStringLiteral("Open1"));
    connect(open_, &QPushButton::clicked, this, &Tarnwick::open_voice_file);

    instructions_ = new QLabel(displayed_caption(kInstructions), client);
    instructions_->setObjectName(QStringLiteral("Label1"));
    instructions_->setTextFormat(Qt::PlainText);
    instructions_->setWordWrap(true);
    instructions_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    summary_ = new QLabel(client);
    summary_->setObjectName(QStringLiteral("VoiceSummary"));
    summary_->setTextFormat(Qt::PlainText);
    summary_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    last_patch_ = new QLabel(client);
    last_patch_->setObjectName(QStringLiteral("LastPatch"));
    last_patch_->setTextFormat(Qt::PlainText);
    last_patch_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    undo_ = new QPushButton(text_of(messages::undo::kUndoButton), client);
    undo_->setObjectName(QStringLiteral("UndoPatch"));
    undo_->setVisible(false);
    last_patch_->setVisible(false);
    connect(undo_, &QPushButton::clicked, this, &Tarnwick::undo_last_patch);

    tabs_ = new QTabWidget(client);
    tabs_->setObjectName(QStringLiteral("SSTab1"));
    build_tabs();
    tabs_->setCurrentIndex(kFirstTabShown);

    patch_ = new QPushButton(kPatchCaption, client);
    patch_->setObjectName(QStringLiteral("Patch"));
    patch_->setEnabled(false);
    connect(patch_, &QPushButton::clicked, this, &Tarnwick::patch_and_save);

    // The Open command by keyboard; no caption changes for it.
    auto* open_shortcut = new QShortcut(QKeySequence::Open, this);
    connect(open_shortcut, &QShortcut::activated, this, &Tarnwick::open_voice_file);

    setAcceptDrops(true);
    layout_ = fitting_layout();
    apply_layout();
}

Tarnwick::~Tarnwick() { delete about_.data(); }

void Tarnwick::build_tabs() {
    for (const OptionTab& tab : option_tabs()) {
        auto* page = new QWidget;
        int row_index = 0;
        for (const int k : tab.options) {
            const PatchOption& option = patch_catalogue()[static_cast<std::size_t>(k - 1)];
            const QString label_text = text_of(option.label);

            auto* frame = new QGroupBox(page);
            frame->setObjectName(QStringLiteral("Frame%1").arg(kFrameOf[static_cast<std::size_t>(k)]));

            auto* box = new QCheckBox(frame);
            box->setObjectName(QStringLiteral("Check%1").arg(k));
            box->setAccessibleName(label_text);
            box->setEnabled(false);
            // clicked: only a change made by the person, by mouse or keyboard.
            connect(box, &QCheckBox::clicked, this, [this, k](bool on) { show_controls(controls().after_box_changed(k, on)); });

            auto* label = new QLabel(label_text, frame);
            label->setObjectName(QStringLiteral("Label%1").arg(k + 1));
            label->setTextFormat(Qt::PlainText);

            auto* state = new QLabel(frame);
            state->setObjectName(QStringLiteral("State%1").arg(k));
            state->setTextFormat(Qt::PlainText);
            rows_[static_cast<std::size_t>(k)] = {frame, box, label, state, row_index};
            ++row_index;
        }
        tabs_->addTab(page, text_of(tab.caption));
    }
}

TwipsLayout Tarnwick::fitting_layout() const {
    std::vector<FitBox> boxes{
        // Keep clear of the pane's border on both sides of the tab strip.
        {{tabs_->tabBar()->sizeHint().width(), 0}, {7845 - 120, 0}},
        {{open_->sizeHint().width(), 0}, {2295, 0}},
        {{patch_->sizeHint().width(), 0}, {2295, 0}},
        {{undo_->sizeHint().width(), 0}, {kUndoTwips.width(), 0}},
    };
    // The longest state text, whatever state each option is in now.
    QLabel probe;
    for (const OptionState state : {OptionState::ready, OptionState::already_changed, OptionState::not_in_this_voice,
                                    OptionState::half_changed}) {
        probe.setText(text_of(state_text(state)));
        boxes.push_back({label_text_size(&probe), kStateTwips.size()});
    }
    probe.setText(QString::fromStdString(messages::undo::changed_on(kLongestDayNs)));
    boxes.push_back({label_text_size(&probe), kStateTwips.size()});
    for (int k = 1; k <= kOptionCount; ++k) {
        boxes.push_back({label_text_size(rows_[static_cast<std::size_t>(k)].label), {5775, 255}});
    }
    // The summary's second line at its longest: every tab named.
    VoiceSurvey every_tab_ready;
    every_tab_ready.kind = ContainerKind::vpm;
    every_tab_ready.layout.result = ProbeResult::located;
    every_tab_ready.states.fill(OptionState::ready);
    probe.setText(QString::fromStdString(readiness_sentence(every_tab_ready)));
    const QSize one_line = label_text_size(&probe);
    boxes.push_back({{one_line.width(), 2 * one_line.height()}, kSummaryTwips.size()});
    // The line about a recorded save at its longest.
    for (const std::string& line : {messages::undo::last_patch_line(kLongestDayNs, kOptionCount),
                                    messages::undo::half_way_line(kLongestDayNs, kOptionCount)}) {
        probe.setText(QString::fromStdString(line));
        boxes.push_back({label_text_size(&probe), kLastPatchTwips.size()});
    }
    double scale = scale_to_fit(boxes);
    // Wrapped text needs its lines, not only its width.
    while (scale < 4.0) {
        const TwipsLayout candidate(scale);
        if (instructions_->heightForWidth(candidate.px(6135)) <= candidate.px(975)) break;
        scale += 0.01;
    }
    return TwipsLayout(scale);
}

void Tarnwick::apply_layout() {
    const TwipsLayout& at = layout_;
    open_->setGeometry(at.rect(120, 240, 2295, 375));
    instructions_->setGeometry(at.rect(120, 840, 6135, 975));
    summary_->setGeometry(at.rect(kSummaryTwips.x(), kSummaryTwips.y(), kSummaryTwips.width(), kSummaryTwips.height()));
    last_patch_->setGeometry(
        at.rect(kLastPatchTwips.x(), kLastPatchTwips.y(), kLastPatchTwips.width(), kLastPatchTwips.height()));
    undo_->setGeometry(at.rect(kUndoTwips.x(), kUndoTwips.y(), kUndoTwips.width(), kUndoTwips.height()));
    const int shift = kSummaryShift + (view_ && view_->offers_undo() ? kLastPatchShift : 0);
    tabs_->setGeometry(at.rect(120, 1800 + shift, 7845, 5175));
    patch_->setGeometry(at.rect(4440, 7200 + shift, 2295, 375));
    for (int k = 1; k <= kOptionCount; ++k) {
        const OptionRow& row = rows_[static_cast<std::size_t>(k)];
        // Frame tops count from the tab control's top, its strip included.
        row.frame->setGeometry(at.rect(120, 840 + 600 * row.row - kTabStripTwips, 7575, 615));
        row.box->setGeometry(at.rect(120, 240, 255, 255));
        row.label->setGeometry(at.rect(480, 240, 5775, 255));
        row.state->setGeometry(at.rect(kStateTwips.x(), kStateTwips.y(), kStateTwips.width(), kStateTwips.height()));
    }
    scroller_->widget()->setFixedSize(at.px(8580), at.px(7815 + shift));
    fit_to_screen();
}

QSize Tarnwick::full_size() const {
    const QSize client = scroller_->widget()->size();
    // The menu bar gets the height the layout gives it, which on Windows is a
    // pixel more than its size hint: that pixel would bring in both scroll bars.
    int menu = menuBar()->heightForWidth(std::max(client.width(), menuBar()->minimumWidth()));
    if (menu < 0) menu = menuBar()->sizeHint().height();
    return {client.width(), client.height() + menu};
}

void Tarnwick::fit_to_screen() {
    const QScreen* shown_on = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    QSize size = full_size();
    if (shown_on != nullptr) {
        // The frame's own size is known once the window is shown; until then
        // allow for a title bar and borders of the usual size.
        const QSize frame = isVisible() ? frameGeometry().size() - geometry().size() : kFrameAllowance;
        // At a fractional scale the screen's size in logical pixels is
        // rounded, as often up as down: a pixel less always fits the device.
        const double ratio = shown_on->devicePixelRatio();
        const int rounding = ratio == std::floor(ratio) ? 0 : 1;
        const QSize room = shown_on->availableGeometry().size() - frame - QSize(rounding, rounding);
        if (size.width() > room.width() || size.height() > room.height()) {
            // Scroll bars take room of their own once they are needed.
            const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
            size = QSize(std::min(size.width() + bar, room.width()), std::min(size.height() + bar, room.height()));
        }
    }
    resize(size);
    if (isVisible() && shown_on != nullptr && !shown_on->availableGeometry().contains(frameGeometry())) {
        const QRect room = shown_on->availableGeometry();
        move(std::clamp(frameGeometry().x(), room.left(), std::max(room.left(), room.right() - frameGeometry().width())),
             std::clamp(frameGeometry().y(), room.top(), std::max(room.top(), room.bottom() - frameGeometry().height())));
    }
}

void Tarnwick::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    fit_to_screen();
}

QCheckBox* Tarnwick::check_box(int option) const { return rows_.at(static_cast<std::size_t>(option)).box; }

QLabel* Tarnwick::state_label(int option) const { return rows_.at(static_cast<std::size_t>(option)).state; }

void Tarnwick::open_voice_file() {
    open_files(services_.dialog.show_open_dialog(this, kOpenDialogTitle, kOpenDialogFilter, QDir::currentPath()));
}

void Tarnwick::open_files(const QStringList& chosen) {
    if (chosen.size() == 1) open_file(chosen.first());
    if (chosen.size() < 2) return;
    auto* several = new SeveralVoices(services_, journal_folder_, this);
    several_ = several;
    several->show();
    several->open_files(chosen);
}

void Tarnwick::open_file(const QString& chosen) {
    const OpenedVoice opened =
        open_voice(image_, to_path(chosen), journal_folder_, services_.files, RecoveryMode::record, controls());
    show_opened(opened);
    // A half-written file is put back only when the person says so.
    if (opened.question && services_.messages.ask(this, *opened.question)) {
        show_undone(tarnwick::undo_last_patch(image_, journal_folder_, services_.files, false, UndoScope::half_way));
    }
}

void Tarnwick::show_opened(const OpenedVoice& opened) {
    if (opened.view) show_view(*opened.view);
    show_messages(opened.messages);
    show_controls(opened.controls);
}

void Tarnwick::show_view(const VoiceView& view) {
    const bool row_was_shown = view_ && view_->offers_undo();
    view_ = view;
    for (int k = 1; k <= kOptionCount; ++k) {
        const QString state = QString::fromStdString(view.text.states[static_cast<std::size_t>(k - 1)]);
        state_label(k)->setText(state);
        check_box(k)->setAccessibleDescription(state);
    }
    last_patch_->setText(QString::fromStdString(view.last_patch));
    if (row_was_shown != view.offers_undo()) {
        undo_->setVisible(view.offers_undo());
        last_patch_->setVisible(view.offers_undo());
        apply_layout();
    }
    // The file's name is shortened in its middle where it is too long; the
    // tooltip holds the whole path.
    const QFontMetrics metrics = summary_->fontMetrics();
    summary_->setText(metrics.elidedText(QString::fromStdString(view.text.description), Qt::ElideMiddle,
                                         summary_->width() - kLabelMarginPx) +
                      u'\n' + QString::fromStdString(view.text.readiness));
    summary_->setToolTip(QString::fromStdString(messages::path_for_people(image_.file_path())));
}

void Tarnwick::patch_and_save() {
    const RunReport report = run_patch(image_, controls(), journal_folder_, services_.files);
    show_controls(report.controls);
    if (report.view) show_view(*report.view);
    show_messages(report.messages);
    if (report.close_window) close();
}

void Tarnwick::undo_last_patch() {
    if (!view_ || !view_->offers_undo() || !services_.messages.ask(this, view_->undo_question)) return;
    show_undone(tarnwick::undo_last_patch(image_, journal_folder_, services_.files, false));
}

void Tarnwick::show_undone(const UndoReport& report) {
    if (report.view) show_view(*report.view);
    show_messages(report.messages);
}

void Tarnwick::dragEnterEvent(QDragEnterEvent* event) {
    if (!dropped_files(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void Tarnwick::dropEvent(QDropEvent* event) {
    const QStringList files = dropped_files(event->mimeData());
    if (files.isEmpty()) return;
    event->acceptProposedAction();
    open_files(files);
}

void Tarnwick::show_about() {
    if (!about_) about_ = new About_Form(services_);
    about_->show();
    about_->raise();
    about_->activateWindow();
}

WindowControls Tarnwick::controls() const {
    WindowControls shown;
    for (int k = 1; k <= kOptionCount; ++k) {
        shown.enabled[static_cast<std::size_t>(k - 1)] = check_box(k)->isEnabled();
        shown.ticked[static_cast<std::size_t>(k - 1)] = check_box(k)->isChecked();
    }
    shown.patch_enabled = patch_->isEnabled();
    return shown;
}

void Tarnwick::show_controls(const WindowControls& controls) {
    for (int k = 1; k <= kOptionCount; ++k) {
        check_box(k)->setEnabled(controls.box_enabled(k));
        check_box(k)->setChecked(controls.box_ticked(k));
    }
    patch_->setEnabled(controls.patch_enabled);
}

void Tarnwick::show_messages(const std::vector<Message>& messages) {
    for (const Message& message : messages) services_.messages.show_message(this, QString::fromStdString(message.text));
}

}  // namespace tarnwick::ui
