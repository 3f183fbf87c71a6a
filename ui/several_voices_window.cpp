#include "ui/several_voices_window.h"

#include <QApplication>
#include <QFont>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QScreen>
#include <QTableWidget>
#include <QVBoxLayout>

#include "engine/patch_catalogue.h"
#include "engine/user_messages.h"
#include "engine/voice_survey.h"
#include "ui/about_window.h"

namespace tarnwick::ui {
namespace {

QString shown(std::string_view stored) { return text_of(displayed_caption(stored)); }

// The window's width at least, where the screen allows, and its height at most.
constexpr int kLeastWidth = 640;
constexpr int kTallest = 900;
constexpr int kSummaryLines = 7;

}  // namespace

SeveralVoices::SeveralVoices(PlatformServices services, std::filesystem::path journal_folder, QWidget* parent)
    : QWidget(parent, Qt::Window), services_(services), batch_(std::move(journal_folder)) {
    setObjectName(QStringLiteral("SeveralVoices"));
    setWindowTitle(text_of(messages::batch::kTitle));
    setAttribute(Qt::WA_DeleteOnClose, parent != nullptr);

    instructions_ = new QLabel(shown(messages::batch::kInstructions), this);
    instructions_->setObjectName(QStringLiteral("Instructions"));
    instructions_->setTextFormat(Qt::PlainText);
    instructions_->setWordWrap(true);

    table_ = new QTableWidget(this);
    table_->setObjectName(QStringLiteral("Voices"));
    table_->setAccessibleName(text_of(messages::batch::kTitle));
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setWordWrap(false);
    // Arrows move between the cells; Tab goes on to the buttons.
    table_->setTabKeyNavigation(false);
    table_->verticalHeader()->setVisible(false);
    table_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);

    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("Progress"));
    progress_->setTextVisible(true);
    progress_->setValue(0);
    progress_->setVisible(false);

    // A button's caption keeps its doubled ampersand, which Qt shows as one.
    patch_ = new QPushButton(text_of(messages::batch::kPatchAll), this);
    patch_->setObjectName(QStringLiteral("PatchAll"));
    connect(patch_, &QPushButton::clicked, this, &SeveralVoices::patch_and_save_all);
    undo_ = new QPushButton(text_of(messages::batch::kUndoAll), this);
    undo_->setObjectName(QStringLiteral("UndoAll"));
    connect(undo_, &QPushButton::clicked, this, &SeveralVoices::undo_all);
    close_ = new QPushButton(text_of(messages::batch::kClose), this);
    close_->setObjectName(QStringLiteral("Close"));
    connect(close_, &QPushButton::clicked, this, &QWidget::close);

    summary_ = new QPlainTextEdit(this);
    summary_->setObjectName(QStringLiteral("Summary"));
    summary_->setAccessibleName(QStringLiteral("Summary"));
    summary_->setReadOnly(true);
    summary_->setTabChangesFocus(true);
    // Room for a few voices' lines; the table takes the rest, and the summary scrolls.
    summary_->setFixedHeight(summary_->fontMetrics().lineSpacing() * kSummaryLines + 2 * summary_->frameWidth() +
                             static_cast<int>(2 * summary_->document()->documentMargin()));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(progress_, 1);
    buttons->addStretch();
    buttons->addWidget(patch_);
    buttons->addWidget(undo_);
    buttons->addWidget(close_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(instructions_);
    layout->addWidget(table_, 1);
    layout->addLayout(buttons);
    layout->addWidget(summary_);

    // Tab goes from the table to the buttons and the summary, in reading order.
    setTabOrder(table_, patch_);
    setTabOrder(patch_, undo_);
    setTabOrder(undo_, close_);
    setTabOrder(close_, summary_);
    show_voices();
}

void SeveralVoices::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    fit_to_screen();
}

void SeveralVoices::fit_to_screen() {
    // Every column side by side where the screen has room, else as many as
    // fit (the table scrolls); the height the screen allows.
    int columns = table_->frameWidth() * 2 + table_->verticalScrollBar()->sizeHint().width();
    for (int c = 0; c < table_->columnCount(); ++c) columns += table_->columnWidth(c);
    const QMargins margins = layout()->contentsMargins();
    QSize wanted(std::max(columns, kLeastWidth) + margins.left() + margins.right(), kTallest);
    if (const QScreen* on = screen() != nullptr ? screen() : QGuiApplication::primaryScreen()) {
        const QSize frame = isVisible() ? frameGeometry().size() - geometry().size() : QSize(16, 40);
        const QSize room = on->availableGeometry().size() - frame;
        wanted = wanted.boundedTo(room);
    }
    resize(wanted);
}

void SeveralVoices::open_files(const QStringList& files) {
    std::vector<std::filesystem::path> paths;
    for (const QString& file : files) paths.push_back(to_path(file));
    working(true);
    const BatchReport report = batch_.open(paths, services_.files, progress_shown());
    working(false);
    progress_->setVisible(false);  // the bar is for saves
    show_voices();
    show_report(report);
    fit_to_screen();
}

BatchProgress SeveralVoices::progress_shown() {
    return [this](std::size_t done, std::size_t total) {
        progress_->setVisible(true);
        progress_->setRange(0, static_cast<int>(total));
        progress_->setValue(static_cast<int>(done));
        progress_->setFormat(text_of(messages::batch::progress(done, total)));
        // The bar is drawn between voices; the buttons are off meanwhile.
        QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    };
}

void SeveralVoices::working(bool busy) {
    for (QWidget* control : {static_cast<QWidget*>(table_), static_cast<QWidget*>(patch_),
                             static_cast<QWidget*>(undo_), static_cast<QWidget*>(close_)}) {
        control->setEnabled(!busy);
    }
    if (!busy) undo_->setEnabled(batch_.undoable() > 0);
}

void SeveralVoices::show_voices() {
    const std::vector<BatchVoice>& voices = batch_.voices();
    // Keep what the person ticked where it can still be ticked.
    std::array<bool, kOptionCount> ticked{};
    if (table_->rowCount() > 0) {
        for (int k = 1; k <= kOptionCount; ++k) {
            const QTableWidgetItem* box = table_->item(row_of(k), 0);
            ticked[static_cast<std::size_t>(k - 1)] = box != nullptr && box->checkState() == Qt::Checked;
        }
    }
    table_->clear();
    table_->setColumnCount(static_cast<int>(voices.size()) + 1);
    table_->setRowCount(kTabCount + kOptionCount);
    QStringList headings{text_of(messages::batch::kOptionHeading)};
    for (const BatchVoice& voice : voices) headings << text_of(voice.heading());
    table_->setHorizontalHeaderLabels(headings);

    int row = 0;
    for (const OptionTab& tab : option_tabs()) {
        auto* heading = new QTableWidgetItem(shown(tab.caption));
        QFont bold = heading->font();
        bold.setBold(true);
        heading->setFont(bold);
        heading->setFlags(Qt::ItemIsEnabled);
        table_->setItem(row, 0, heading);
        table_->setSpan(row, 0, 1, table_->columnCount());
        ++row;
        for (const int k : tab.options) {
            const PatchOption& option = patch_catalogue()[static_cast<std::size_t>(k - 1)];
            auto* box = new QTableWidgetItem(text_of(option.label));
            const bool tickable = batch_.tickable(k);
            box->setFlags(tickable ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable
                                   : Qt::ItemIsSelectable);
            box->setCheckState(tickable && ticked[static_cast<std::size_t>(k - 1)] ? Qt::Checked : Qt::Unchecked);
            table_->setItem(row, 0, box);
            for (std::size_t v = 0; v < voices.size(); ++v) {
                auto* cell = new QTableWidgetItem(text_of(voices[v].cell(k)));
                cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
                table_->setItem(row, static_cast<int>(v) + 1, cell);
            }
            rows_[static_cast<std::size_t>(k)] = row;
            ++row;
        }
    }
    table_->resizeColumnsToContents();
    table_->resizeRowsToContents();
    table_->setCurrentCell(row_of(patch_catalogue().front().number), 0);
    patch_->setEnabled(batch_.any_patchable());
    undo_->setEnabled(batch_.undoable() > 0);
}

void SeveralVoices::show_report(const BatchReport& report) {
    QStringList lines{text_of(report.closing)};
    for (const BatchEntry& entry : report.voices) {
        lines << text_of(messages::batch::summary_line(entry.name, entry.summary));
        for (const Message& message : entry.messages) lines << QStringLiteral("    ") + text_of(message.text);
    }
    summary_->setPlainText(lines.join(u'\n'));
}

void SeveralVoices::patch_and_save_all() {
    std::array<bool, kOptionCount> chosen{};
    for (int k = 1; k <= kOptionCount; ++k) {
        chosen[static_cast<std::size_t>(k - 1)] = table_->item(row_of(k), 0)->checkState() == Qt::Checked;
    }
    working(true);
    const BatchReport report = batch_.patch_all(chosen, services_.files, progress_shown());
    working(false);
    // Saved options are no longer ready: their boxes go, unticked.
    for (int k = 1; k <= kOptionCount; ++k) table_->item(row_of(k), 0)->setCheckState(Qt::Unchecked);
    show_voices();
    show_report(report);
}

void SeveralVoices::undo_all() {
    if (batch_.undoable() == 0 || !services_.messages.ask(this, batch_.undo_question())) return;
    working(true);
    const BatchReport report = batch_.undo_all(services_.files, progress_shown());
    working(false);
    show_voices();
    show_report(report);
}

}  // namespace tarnwick::ui
