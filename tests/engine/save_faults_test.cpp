// Faults and crashes during the in-place save, and what the next open does
// with the journal they leave.
#include <set>

#include <gtest/gtest.h>

#include "engine/save_journal.h"
#include "engine/user_messages.h"
#include "engine/voice_image.h"
#include "tests/support/faulty_calls.h"
#include "tests/support/test_files.h"

namespace tarnwick {
namespace {

using testing::FaultyCalls;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

ByteString pattern_bytes(std::size_t n, std::uint8_t seed) { return testing::numbered_bytes(n, seed, 7); }

// A voice file on disk, loaded, and a save that changes two runs of it.
struct SavedVoice {
    TempDir dir;
    std::filesystem::path path = dir / "voice.vpm";
    std::filesystem::path journals = dir / "journals";
    ByteString original = pattern_bytes(20000, 3);
    VoiceImage image;

    SavedVoice() {
        write_file(path, original);
        EXPECT_TRUE(image.load_image(path, journals).ok);
    }
    SaveResult save(FileSystemCalls& calls) {
        EditLog edits(image);
        image.put_str(100, ByteString{0x01, 0x02, 0x03, 0x04, 0x05});
        image.put_str(12345, ByteString{0xDE, 0xAD});
        SaveResult saved = image.save_image(edits.changed_ranges(), journals, calls);
        if (!saved.ok()) edits.undo();
        return saved;
    }
    ByteString patched() const {
        ByteString b = original;
        for (std::uint8_t i = 0; i < 5; ++i) b[100u + i] = static_cast<std::uint8_t>(i + 1);
        b[12345] = 0xDE;
        b[12346] = 0xAD;
        return b;
    }
    bool journal_kept() const { return std::filesystem::exists(journals) && !std::filesystem::is_empty(journals); }
};

TEST(SaveFaults, ACrashAtAnyCallLeavesExactlyOldOrNewBytesOnceReopened) {
    std::set<std::string> crashed_in;
    int rolled_back_at_open = 0;
    for (int n = 1;; ++n) {
        SCOPED_TRACE("crash at call " + std::to_string(n));
        ASSERT_LT(n, 200) << "the save never completed";
        SavedVoice voice;
        FaultyCalls calls;
        calls.crash_at = n;
        calls.max_write = 2;  // writes of a range are cut in pieces, so a crash can split one
        const SaveResult result = voice.save(calls);
        const bool completed = calls.failed.empty();
        if (!completed) crashed_in.insert(calls.failed);
        // A journal cut short while it was written is not a whole one.
        const auto journal = journal_path(voice.journals, journal_key(voice.path));
        const bool whole_journal_left =
            std::filesystem::exists(journal) && decode_journal(read_file(journal)).has_value();

        // The process is dead; the file is opened afresh.
        VoiceImage reopened;
        const LoadResult opened = reopened.load_image(voice.path, voice.journals);
        ASSERT_TRUE(opened.ok);
        const ByteString now = read_file(voice.path);
        EXPECT_TRUE(now == voice.original || now == voice.patched());
        EXPECT_FALSE(voice.journal_kept());
        if (whole_journal_left) {
            EXPECT_EQ(now, voice.original);
            EXPECT_EQ(opened.recovery_notice,
                      messages::recovered_interrupted_save(messages::path_for_people(voice.path)));
            ++rolled_back_at_open;
        } else {
            EXPECT_EQ(opened.recovery_notice, "");
        }
        if (result.ok()) {
            EXPECT_EQ(now, voice.patched());
        }
        if (completed) break;
    }
    EXPECT_GT(rolled_back_at_open, 3);
    EXPECT_EQ(crashed_in, (std::set<std::string>{"open_for_update", "describe", "read", "make_folders", "create_new",
                                                 "write", "flush", "close", "flush_folder", "remove"}));
}

TEST(SaveFaults, AnyOneFailingCallLeavesTheFileAsItWasAndNoJournal) {
    for (int n = 1;; ++n) {
        SCOPED_TRACE("failing call " + std::to_string(n));
        ASSERT_LT(n, 200) << "the save never succeeded";
        SavedVoice voice;
        FaultyCalls calls;
        calls.fail_call = n;
        const SaveResult result = voice.save(calls);
        EXPECT_FALSE(voice.journal_kept());
        if (result.ok()) {
            EXPECT_EQ(read_file(voice.path), voice.patched());
            if (calls.failed.empty()) break;
            continue;
        }
        EXPECT_TRUE(result.status == SaveStatus::refused || result.status == SaveStatus::rolled_back);
        EXPECT_EQ(read_file(voice.path), voice.original);
        // The save can be tried again at once and succeeds.
        FaultyCalls healthy;
        ASSERT_TRUE(voice.save(healthy).ok()) << voice.save(healthy).reason;
        EXPECT_EQ(read_file(voice.path), voice.patched());
    }
}

TEST(SaveFaults, WhatTheNextOpenDoesWithAJournal) {
    struct Case {
        std::string name;
        std::function<void(SavedVoice&, ByteString& journal)> arrange;
        ByteString file_after;  // empty: the file as arranged
        bool journal_kept;
        std::function<std::string(const SavedVoice&)> notice;
    };
    const auto shown = [](const SavedVoice& v) { return messages::path_for_people(v.path); };
    const std::vector<Case> cases = {
        {"cut short while written: removed without a word",
         [](SavedVoice&, ByteString& journal) { journal.resize(journal.size() - 3); }, {}, false,
         [](const SavedVoice&) { return std::string(); }},
        {"the file holds the new bytes: put back",
         [](SavedVoice& v, ByteString&) { write_file(v.path, v.patched()); }, pattern_bytes(20000, 3), false,
         [shown](const SavedVoice& v) { return messages::recovered_interrupted_save(shown(v)); }},
        {"the file holds other bytes: left alone",
         [](SavedVoice& v, ByteString&) {
             ByteString other = v.original;
             other[101] = 0x77;
             write_file(v.path, other);
         },
         {}, true,
         [shown](const SavedVoice& v) {
             return messages::recovery_left_alone(shown(v), journal_path(v.journals, journal_key(v.path)));
         }},
        {"the file has another length: left alone",
         [](SavedVoice& v, ByteString&) { write_file(v.path, pattern_bytes(20001, 3)); }, {}, true,
         [shown](const SavedVoice& v) {
             return messages::recovery_left_alone(shown(v), journal_path(v.journals, journal_key(v.path)));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SavedVoice voice;
        SaveJournal record{messages::path_for_people(journal_key(voice.path)), {}, {}};
        record.identity.size = 20000;
        record.ranges = {{100, {voice.original.begin() + 100, voice.original.begin() + 105}, {1, 2, 3, 4, 5}},
                         {12345, {voice.original[12345], voice.original[12346]}, {0xDE, 0xAD}}};
        ByteString journal = encode_journal(record);
        c.arrange(voice, journal);
        std::filesystem::create_directories(voice.journals);
        write_file(journal_path(voice.journals, journal_key(voice.path)), journal);
        const ByteString arranged = read_file(voice.path);

        VoiceImage image;
        const LoadResult opened = image.load_image(voice.path, voice.journals);
        EXPECT_TRUE(opened.ok);
        EXPECT_EQ(opened.recovery_notice, c.notice(voice));
        EXPECT_EQ(read_file(voice.path), c.file_after.empty() ? arranged : c.file_after);
        EXPECT_EQ(ByteString(image.file_buf().begin(), image.file_buf().end()), read_file(voice.path));
        EXPECT_EQ(voice.journal_kept(), c.journal_kept);
        if (c.journal_kept) {
            // A journal left alone stands in the way of the next save, with a reason.
            FaultyCalls calls;
            EditLog edits(image);
            image.put_str(5, ByteString{0});
            const SaveResult saved = image.save_image(edits.changed_ranges(), voice.journals, calls);
            EXPECT_EQ(saved.reason,
                      messages::reason_journal_in_the_way(journal_path(voice.journals, journal_key(voice.path))));
        }
    }
}

TEST(SaveJournal, DecodesWhatItEncodesAndNothingCutOrChanged) {
    SaveJournal record{"/media/GARMIN/Voice/Amélie.vpm", {7, 99, 20000, 123456789}, {}};
    record.ranges = {{100, {1, 2, 3}, {4, 5, 6}}, {0, {}, {}}, {2147483000, {9}, {8}}};
    const ByteString bytes = encode_journal(record);
    const auto decoded = decode_journal(bytes);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->file_path, record.file_path);
    EXPECT_EQ(decoded->identity, record.identity);
    EXPECT_EQ(decoded->ranges, record.ranges);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        EXPECT_FALSE(decode_journal(ByteView(bytes).first(cut)).has_value()) << cut;
        ByteString flipped = bytes;
        flipped[cut] ^= 0x10;
        EXPECT_FALSE(decode_journal(flipped).has_value()) << cut;
    }
}

TEST(SaveJournal, NamesDifferForEveryPathAndStayPlain) {
    const std::filesystem::path folder = "/j";
    const auto a = journal_path(folder, "/media/GARMIN/Voice/voice.vpm");
    const auto b = journal_path(folder, "/media/GARMIN1/Voice/voice.vpm");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.parent_path(), folder);
    EXPECT_TRUE(a.filename().string().ends_with("-voice.vpm.journal"));
    EXPECT_EQ(a.filename().string().size(), 16 + 1 + 9 + 8);
    const auto accented = journal_path(folder, "/m/" + std::string(300, 'x') + "é.vpm").filename().string();
    EXPECT_EQ(accented.size(), 16 + 1 + 48 + 8);
    EXPECT_EQ(accented.find_first_not_of("0123456789abcdefx-._journal"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick
