#pragma once

#include <filesystem>
#include <vector>

#include <QWidget>

#include "engine/voice_batch.h"
#include "ui/platform_services.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace tarnwick::ui {

// Several voices side by side: a row per option, grouped by tab, a column
// per voice with the option's state in it; ticked options are patched in
// every voice where they are ready, each voice saved in turn, and what
// became of each gathered into one summary instead of a box per message.
class SeveralVoices final : public QWidget {
    Q_OBJECT

public:
    SeveralVoices(PlatformServices services, std::filesystem::path journal_folder, QWidget* parent = nullptr);

    // Opens the files (chosen in the dialog, dropped, or named on the command line).
    void open_files(const QStringList& files);
    void patch_and_save_all();
    // Asks once, then takes back the patch each voice got here.
    void undo_all();

    QTableWidget* table() const { return table_; }
    // The table's row of option k; its first cell holds the option's box.
    int row_of(int option) const { return rows_.at(static_cast<std::size_t>(option)); }
    QPushButton* patch_button() const { return patch_; }
    QPushButton* undo_button() const { return undo_; }
    QProgressBar* progress() const { return progress_; }
    QPlainTextEdit* summary() const { return summary_; }
    const VoiceBatch& batch() const { return batch_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void fit_to_screen();
    void show_voices();
    void show_report(const BatchReport& report);
    void working(bool busy);
    BatchProgress progress_shown();

    PlatformServices services_;
    VoiceBatch batch_;
    QLabel* instructions_ = nullptr;
    QTableWidget* table_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* patch_ = nullptr;
    QPushButton* undo_ = nullptr;
    QPushButton* close_ = nullptr;
    QPlainTextEdit* summary_ = nullptr;
    std::array<int, kByOptionNumber> rows_{};
};

}  // namespace tarnwick::ui
