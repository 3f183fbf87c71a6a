// Open + "Patch && Save" through the engine and the run, on inputs that must
// be refused or handled: what the person is told, what the file holds after,
// and that the next Open still works.
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <functional>

#include <gtest/gtest.h>

#include "engine/layout_probe.h"
#include "engine/open_voice.h"
#include "engine/patch_catalogue.h"
#include "engine/patch_run.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

using voices::Container;
using voices::DiskImageBuilder;
using testing::read_file;
using testing::RecordingWindow;
using testing::TempDir;
using testing::write_file;

// What the main window does on Open, and the run on "Patch && Save", with
// every box enabled and ticked.
struct Session {
    TempDir journals;
    VoiceImage image;
    RecordingWindow window = [] {
        RecordingWindow fresh;  // nothing open yet: every control disabled
        fresh.patch_enabled = false;
        return fresh;
    }();

    using Opened = OpenedVoice::Result;

    // The program's own open, with its messages shown as the window shows them.
    Opened open(const std::filesystem::path& path) {
        const OpenedVoice opened =
            open_voice(image, path, journals.path(), system_file_calls(), RecoveryMode::record, window.controls());
        for (const Message& message : opened.messages) window.show_message(message);
        window.show_controls(opened.controls);
        return opened.result;
    }

    // Every box the open enabled, ticked.
    RunOutcome patch() {
        window.ticked.fill(true);
        return run_patch(image, window, journals.path(), system_file_calls());
    }
};

const ByteString kStreet = hex2str(patch_catalogue()[0].lead->original_hex);

// A voice whose data begins at block 200 (102,400) and holds the Street run,
// with "DLLIMG  BIN" left for the row to place.
DiskImageBuilder unnamed_voice() {
    DiskImageBuilder builder;
    builder.without_dllimg().block_exp(0).dllimg_first_block(200).length(110000);
    builder.place(builder.dllimg_data_start() + 64, kStreet);
    return builder;
}

ByteString with_name_at(ByteString bytes, std::size_t at, std::uint16_t block) {
    std::copy_n("DLLIMG  BIN", 11, bytes.begin() + static_cast<std::ptrdiff_t>(at));
    if (at + 32 < bytes.size()) {
        bytes[at + 31] = static_cast<std::uint8_t>(block & 0xFF);
        bytes[at + 32] = static_cast<std::uint8_t>(block >> 8);
    }
    return bytes;
}

ByteString cut(const ByteString& bytes, std::size_t length) { return ByteString(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length)); }

enum class Expect { refused, not_voice, area_not_located, nothing_patched, saved };

struct Row {
    std::string name;
    std::function<std::filesystem::path(const TempDir&)> make;
    Expect expect;
    std::string refusal_reason;  // for Expect::refused
};

std::filesystem::path file_of(const TempDir& dir, const std::string& name, const ByteString& bytes) {
    write_file(dir / name, bytes);
    return dir / name;
}

std::vector<Row> rows() {
    const ByteString vpm = DiskImageBuilder().build();
    const ByteString rgn = DiskImageBuilder().container(Container::rgn).build();
    const ByteString unnamed = unnamed_voice().build();
    std::vector<Row> table = {
        {"empty file", [](const TempDir& d) { return file_of(d, "empty.vpm", {}); }, Expect::not_voice, {}},
        {"21 bytes", [vpm](const TempDir& d) { return file_of(d, "21.vpm", cut(vpm, 21)); }, Expect::not_voice, {}},
        {"22 bytes", [vpm](const TempDir& d) { return file_of(d, "22.vpm", cut(vpm, 22)); }, Expect::area_not_located, {}},
        {"vpm cut before 98", [vpm](const TempDir& d) { return file_of(d, "98.vpm", cut(vpm, 98)); },
         Expect::area_not_located, {}},
        {"rgn cut before 158", [rgn](const TempDir& d) { return file_of(d, "158.rgn", cut(rgn, 158)); },
         Expect::area_not_located, {}},
        {"mark at 17 only",
         [vpm](const TempDir& d) {
             ByteString b = vpm;
             std::copy_n("XDSKIMG", 7, b.begin() + 16);
             return file_of(d, "17.vpm", b);
         },
         Expect::not_voice, {}},
        {"lower-case mark",
         [vpm](const TempDir& d) {
             ByteString b = vpm;
             std::copy_n("dskimg", 6, b.begin() + 16);
             return file_of(d, "lower.vpm", b);
         },
         Expect::not_voice, {}},
        {"both marks",
         [](const TempDir& d) {
             DiskImageBuilder b;
             b.container(Container::rgn).block_exp(0).dllimg_first_block(30);
             b.place(16, "DSKIMG").place(98, ByteString{0}).place(b.dllimg_data_start() + 8, kStreet);
             return file_of(d, "both.rgn", b.build());
         },
         Expect::saved, {}},
        {"name at 0", [unnamed](const TempDir& d) { return file_of(d, "n0.vpm", with_name_at(unnamed, 0, 200)); },
         Expect::area_not_located, {}},
        {"name at 1", [unnamed](const TempDir& d) { return file_of(d, "n1.vpm", with_name_at(unnamed, 1, 200)); },
         Expect::saved, {}},
        {"name at 65537",
         [unnamed](const TempDir& d) { return file_of(d, "n65537.vpm", with_name_at(unnamed, 65537, 200)); },
         Expect::saved, {}},
        {"name at 65538",
         [unnamed](const TempDir& d) { return file_of(d, "n65538.vpm", with_name_at(unnamed, 65538, 200)); },
         Expect::area_not_located, {}},
        {"block number past the end",
         [unnamed](const TempDir& d) { return file_of(d, "end.vpm", with_name_at(cut(unnamed, 60020), 60000, 200)); },
         Expect::area_not_located, {}},
        {"exponent 7 with block 32768",
         [](const TempDir& d) { return file_of(d, "e7.vpm", DiskImageBuilder().block_exp(7).dllimg_first_block(32768).length(9000).build()); },
         Expect::area_not_located, {}},
        {"exponent 255 with block 1",
         [](const TempDir& d) { return file_of(d, "e255.vpm", DiskImageBuilder().block_exp(255).dllimg_first_block(1).length(9000).build()); },
         Expect::area_not_located, {}},
        {"data start at the end",
         [](const TempDir& d) {
             return file_of(d, "at-end.vpm", DiskImageBuilder().block_exp(0).dllimg_first_block(20).length(20 * 512).build());
         },
         Expect::nothing_patched, {}},
        {"data start past the end",
         [](const TempDir& d) {
             return file_of(d, "past-end.vpm", DiskImageBuilder().block_exp(3).dllimg_first_block(900).length(9000).build());
         },
         Expect::nothing_patched, {}},
#ifndef _WIN32
        {"FIFO",
         [](const TempDir& d) {
             ::mkfifo((d / "fifo.vpm").c_str(), 0600);
             return d / "fifo.vpm";
         },
         Expect::refused, "it is not a regular file"},
#endif
        {"folder",
         [](const TempDir& d) {
             std::filesystem::create_directory(d / "folder.vpm");
             return d / "folder.vpm";
         },
         Expect::refused, "it is a folder, not a file"},
#ifndef _WIN32
        {"character device", [](const TempDir&) { return std::filesystem::path("/dev/null"); }, Expect::refused,
         "it is not a regular file"},
#endif
        {"sparse 2^31 bytes",
         [](const TempDir& d) {
             testing::make_sparse_file(d / "huge.vpm", std::uint64_t{1} << 31);
             return d / "huge.vpm";
         },
         Expect::refused, "it is larger than 2,147,483,647 bytes"},
        {"missing file", [](const TempDir& d) { return d / "missing.vpm"; }, Expect::refused,
         "No such file or directory"},
    };
    return table;
}

TEST(BadInputMatrix, EachRowIsHandledAndTheNextOpenWorks) {
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        Session session;
        const auto path = row.make(dir);
        const bool regular = std::filesystem::is_regular_file(path);
        const auto size_before = regular ? std::filesystem::file_size(path) : 0;
        const ByteString before = regular && size_before < (1u << 30) ? read_file(path) : ByteString{};

        const Session::Opened opened = session.open(path);
        switch (row.expect) {
            case Expect::refused:
                EXPECT_EQ(opened, Session::Opened::unreadable);
                EXPECT_FALSE(session.window.patch_enabled);  // as before the open
                EXPECT_FALSE(session.window.enabled[1]);
                EXPECT_EQ(session.window.messages(),
                          std::vector<std::string>{messages::cannot_open(path.string(), row.refusal_reason)});
                EXPECT_EQ(session.image.file_len(), 0);
                break;
            case Expect::not_voice:
                EXPECT_EQ(opened, Session::Opened::not_a_voice);
                EXPECT_EQ(session.patch(), RunOutcome::not_a_voice_file);
                EXPECT_EQ(session.window.messages(),
                          std::vector<std::string>(2, std::string(messages::kNotVoiceFile)));
                break;
            case Expect::area_not_located:
                EXPECT_EQ(opened, Session::Opened::voice);
                EXPECT_EQ(session.patch(), RunOutcome::area_not_located);
                EXPECT_EQ(session.window.messages(), std::vector<std::string>{std::string(messages::kAreaNotLocated)});
                break;
            case Expect::nothing_patched: {
                EXPECT_EQ(opened, Session::Opened::voice);
                EXPECT_EQ(session.patch(), RunOutcome::nothing_patched);
                const auto shown = session.window.messages();
                EXPECT_EQ(shown.size(), 22u);  // twenty leads, 15's fallback, the summary
                EXPECT_EQ(shown.back(), messages::kNothingToPatch);
                break;
            }
            case Expect::saved:
                EXPECT_EQ(opened, Session::Opened::voice);
                EXPECT_EQ(session.patch(), RunOutcome::saved);
                EXPECT_EQ(session.window.messages().back(), messages::kPatchedSuccessfully);
                break;
        }
        if (regular && size_before < (1u << 30)) {
            if (row.expect == Expect::saved) {
                EXPECT_EQ(read_file(path), ByteString(session.image.file_buf().begin(), session.image.file_buf().end()));
                EXPECT_NE(read_file(path), before);
            } else {
                EXPECT_EQ(read_file(path), before);
            }
        }
        if (regular) {
            EXPECT_EQ(std::filesystem::file_size(path), size_before);
        }

        // The same session opens and patches a good voice next.
        DiskImageBuilder good;
        good.place(good.dllimg_data_start() + 40, kStreet);
        const auto next = file_of(dir, "next.vpm", good.build());
        session.window = RecordingWindow();
        EXPECT_EQ(session.open(next), Session::Opened::voice);
        EXPECT_EQ(session.patch(), RunOutcome::saved);
    }
}

}  // namespace
}  // namespace tarnwick
