#pragma once

#include <array>

#include <QMainWindow>
#include <QPointer>

#include "engine/open_voice.h"
#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"
#include "engine/undo_patch.h"
#include "engine/voice_survey.h"
#include "engine/voice_image.h"
#include "engine/window_controls.h"
#include "ui/about_window.h"
#include "ui/platform_services.h"
#include "ui/several_voices_window.h"
#include "ui/twips.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QTabWidget;

namespace tarnwick::ui {

// What a window frame usually adds to a window: a title bar and borders.
inline constexpr QSize kFrameAllowance{16, 40};

// A stored caption as it reads on screen: a doubled ampersand shows as one.
QString displayed_caption(const QString& stored);

// The main window: open a voice file, tick options on five tabs, patch it.
class Tarnwick final : public QMainWindow {
    Q_OBJECT

public:
    // Saves keep their journals in `journal_folder` (default_journal_folder() in the program).
    Tarnwick(VoiceImage& image, PlatformServices services, std::filesystem::path journal_folder,
             QWidget* parent = nullptr);
    ~Tarnwick() override;

    QCheckBox* check_box(int option) const;
    QPushButton* open_button() const { return open_; }
    QPushButton* patch_button() const { return patch_; }
    QTabWidget* tabs() const { return tabs_; }
    QLabel* instructions() const { return instructions_; }
    // The line under the instructions that names the open voice.
    QLabel* voice_summary() const { return summary_; }
    // The line about the recorded save that left the voice as it is, and its undo.
    QLabel* last_patch() const { return last_patch_; }
    QPushButton* undo_button() const { return undo_; }
    // The state text beside option k's label.
    QLabel* state_label(int option) const;
    QAction* about_action() const { return about_action_; }
    About_Form* about_window() const { return about_; }
    const TwipsLayout& layout() const { return layout_; }
    // The area the controls lie in, scrolled where the screen is too small.
    QScrollArea* scroller() const { return scroller_; }
    // The window's size when the screen has room for all of it.
    QSize full_size() const;

    // The Open button: the file dialog, then open_file with the chosen path.
    void open_voice_file();
    // Opens `chosen` as a path chosen in the dialog: from the command line, a drop, or the dialog.
    void open_file(const QString& chosen);
    // One file opens here; several open together in a window of their own.
    void open_files(const QStringList& chosen);
    // The window of the several voices opened last, while it is open.
    SeveralVoices* several_voices() const { return several_; }
    void patch_and_save();
    // "Undo Last Patch": asks, then takes back the recorded save (or puts
    // back the half-way one).
    void undo_last_patch();
    void show_about();

protected:
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The boxes and Patch as the window shows them, and showing what the engine reports.
    WindowControls controls() const;
    void show_controls(const WindowControls& controls);
    void show_messages(const std::vector<Message>& messages);
    void show_opened(const OpenedVoice& opened);

    void build_tabs();
    // The survey, and the row about the save an undo takes back beside it.
    void show_view(const VoiceView& view);
    void show_undone(const UndoReport& report);
    TwipsLayout fitting_layout() const;
    void apply_layout();
    // Takes the full size where the screen's free area allows, or the most it does.
    void fit_to_screen();

    struct OptionRow {
        QGroupBox* frame = nullptr;
        QCheckBox* box = nullptr;
        QLabel* label = nullptr;
        QLabel* state = nullptr;
        int row = 0;  // top to bottom on its tab, from 0
    };

    VoiceImage& image_;
    PlatformServices services_;
    std::filesystem::path journal_folder_;
    QScrollArea* scroller_ = nullptr;
    QPushButton* open_ = nullptr;
    QPushButton* patch_ = nullptr;
    QLabel* instructions_ = nullptr;
    QLabel* summary_ = nullptr;
    QLabel* last_patch_ = nullptr;
    QPushButton* undo_ = nullptr;
    std::optional<VoiceView> view_;  // what is shown of the open voice
    QTabWidget* tabs_ = nullptr;
    QAction* about_action_ = nullptr;
    std::array<OptionRow, kByOptionNumber> rows_{};  // rows_[k] holds Check<k>
    TwipsLayout layout_;
    QPointer<About_Form> about_;
    QPointer<SeveralVoices> several_;
};

}  // namespace tarnwick::ui
