// Faults, crashes and other runs during the in-place save, and what the next
// open does with the journals they leave.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <windows.h>
#include <aclapi.h>
#endif

#include <set>

#include <gtest/gtest.h>

#include "engine/journal_format.h"
#include "engine/memory_files.h"
#include "engine/undo_patch.h"
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

// The whole journals in `folder`: one that died before it was whole never
// wrote to its file, and is removed by the next save of that file.
std::vector<std::string> journal_files(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    if (!std::filesystem::exists(folder)) return names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (!entry.path().filename().string().ends_with(".partial")) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> texts(const LoadResult& loaded, const std::filesystem::path& path) {
    std::vector<std::string> said;
    for (const RecoveryEvent& event : loaded.events) said.push_back(messages::recovery_text(event, path.string()));
    return said;
}

// A voice file on disk, loaded, and a save that changes two runs of it.
struct SavedVoice {
    TempDir dir;
    std::filesystem::path path = dir / "voice.vpm";
    std::filesystem::path journals = dir / "journals";
    ByteString original = pattern_bytes(20000, 3);
    VoiceImage image;

    SavedVoice() {
        write_file(path, original);
        EXPECT_TRUE(image.load_image(path, journals, system_file_calls()).ok());
    }
    SaveResult save(FileSystemCalls& calls) { return save_into(image, calls); }
    SaveResult save_into(VoiceImage& into, FileSystemCalls& calls) {
        EditLog edits(into);
        into.put_str(100, ByteString{0x01, 0x02, 0x03, 0x04, 0x05});
        into.put_str(12345, ByteString{0xDE, 0xAD});
        SaveResult saved = into.save_image(edits.changed_ranges(), journals, calls);
        if (!saved.ok()) edits.undo();
        return saved;
    }
    // A save that dies after the first two bytes of its first range are on
    // the disk, leaving its journal.
    void crash_midway() {
        FaultyCalls calls;
        calls.max_write = 2;
        int writes_after_journal = -1;
        calls.before_call = [&](const std::string& name) {
            if (name == "rename_in_folder") writes_after_journal = 0;
            if (name == "write" && writes_after_journal >= 0 && ++writes_after_journal == 2) {
                calls.crash_at = static_cast<int>(calls.calls.size()) + 1;
            }
        };
        EXPECT_FALSE(save(calls).ok());
        EXPECT_EQ(read_file(path)[100], 0x01);
        EXPECT_EQ(read_file(path)[102], original[102]);
    }
    ByteString patched() const {
        ByteString b = original;
        for (std::uint8_t i = 0; i < 5; ++i) b[100u + i] = static_cast<std::uint8_t>(i + 1);
        b[12345] = 0xDE;
        b[12346] = 0xAD;
        return b;
    }
    std::vector<std::string> kept() const { return journal_files(journals); }
};

// Opening never writes: a save cut off anywhere leaves the original, the
// patched bytes, or a half-written file that the history knows, and every
// one of them is taken back exactly by an undo the person asks for.
TEST(SaveFaults, ACrashAtAnyCallLeavesOldNewOrHalfWayBytesThatAnUndoTakesBack) {
    std::set<std::string> crashed_in;
    int half_way = 0;
    for (int n = 1;; ++n) {
        SCOPED_TRACE("crash at call " + std::to_string(n));
        ASSERT_LT(n, 400) << "the save never completed";
        SavedVoice voice;
        FaultyCalls calls;
        calls.crash_at = n;
        calls.max_write = 2;  // writes of a range are cut in pieces, so a crash can split one
        const SaveResult result = voice.save(calls);
        const bool completed = calls.failed.empty();
        if (!completed) crashed_in.insert(calls.failed);

        // The process is dead; the file is opened afresh, which writes nothing
        // to it and makes the journal a record.
        const ByteString at_crash = read_file(voice.path);
        VoiceImage reopened;
        const LoadResult opened = reopened.load_image(voice.path, voice.journals, system_file_calls());
        ASSERT_TRUE(opened.ok());
        EXPECT_EQ(opened.events.size(), 0u);
        EXPECT_EQ(read_file(voice.path), at_crash);
        EXPECT_EQ(voice.kept(), std::vector<std::string>{});
        const SavesOfVoice saves = saves_of_voice(reopened, voice.journals, system_file_calls());
        if (at_crash == voice.original) {
            EXPECT_FALSE(saves.half_way || saves.last_save());
        } else {
            const bool torn = at_crash != voice.patched();
            EXPECT_EQ(saves.half_way.has_value(), torn);
            EXPECT_EQ(saves.last_save().has_value(), !torn);
            half_way += torn ? 1 : 0;
            EXPECT_EQ(undo_last_patch(reopened, voice.journals, system_file_calls(), false).outcome, UndoOutcome::undone);
            EXPECT_EQ(read_file(voice.path), voice.original);
        }
        if (result.ok()) {
            EXPECT_EQ(at_crash, voice.patched());
        }
        if (completed) break;
    }
    EXPECT_EQ(half_way, 3);  // after each piece of the first range and before the last write
    EXPECT_EQ(crashed_in, (std::set<std::string>{"make_private_folder", "open_folder", "open_for_update", "try_lock", "read",
                                                 "list_folder", "read_uncached", "create_in_folder", "write",
                                                 "flush", "close", "rename_in_folder", "flush_folder",
                                                 "remove_in_folder", "describe", "open_in_folder"}));
}

TEST(SaveFaults, AnyOneFailingCallLeavesTheFileAsItWasOrSavedAndRecorded) {
    for (int n = 1;; ++n) {
        SCOPED_TRACE("failing call " + std::to_string(n));
        ASSERT_LT(n, 200) << "the save never succeeded";
        SavedVoice voice;
        FaultyCalls calls;
        calls.fail_call = n;
        const SaveResult result = voice.save(calls);
        if (result.ok()) {
            EXPECT_EQ(read_file(voice.path), voice.patched());
            // A journal whose record or removal failed is kept for the next open, which retires it.
            EXPECT_LE(voice.kept().size(), 1u);
            if (result.not_recorded) {
                EXPECT_EQ(voice.kept().size(), 1u);
            }
            VoiceImage reopened;
            ASSERT_TRUE(reopened.load_image(voice.path, voice.journals, system_file_calls()).ok());
            EXPECT_EQ(voice.kept(), std::vector<std::string>{});
            EXPECT_TRUE(saves_of_voice(reopened, voice.journals, system_file_calls()).last_save().has_value());
            if (calls.failed.empty()) break;
            continue;
        }
        EXPECT_EQ(voice.kept(), std::vector<std::string>{});
        EXPECT_TRUE(result.status == SaveStatus::refused || result.status == SaveStatus::rolled_back);
        EXPECT_EQ(read_file(voice.path), voice.original);
        // The save can be tried again at once and succeeds.
        FaultyCalls healthy;
        ASSERT_TRUE(voice.save(healthy).ok());
        EXPECT_EQ(read_file(voice.path), voice.patched());
    }
}

TEST(SaveFaults, AWriteTheReadBackFindsWrongIsAFailureAndIsPutBack) {
    for (int corrupted = 1; corrupted <= 2; ++corrupted) {  // the first range, then the second
        SavedVoice voice;
        FaultyCalls calls;
        int journal_writes = -1;
        calls.before_call = [&](const std::string& name) {
            if (name == "rename_in_folder") journal_writes = static_cast<int>(calls.count("write"));
        };
        calls.corrupt_write = 1 + corrupted;  // after the journal's one write
        const SaveResult result = voice.save(calls);
        EXPECT_EQ(journal_writes, 1);
        EXPECT_EQ(result.status, SaveStatus::rolled_back);
        EXPECT_EQ(messages::save_failure_text("voice.vpm", result.status, result.problem),
                  "Could not save the file \"voice.vpm\": the device did not hold the bytes written to it when they "
                  "were read back. The file was left unchanged.");
        EXPECT_EQ(read_file(voice.path), voice.original);
        EXPECT_EQ(voice.kept(), std::vector<std::string>{});
    }
}

TEST(SaveFaults, OneSaveOfAFileAtATime) {
    // Another run opens the file while a save is between its journal and its
    // writes: it leaves the journal alone, and the save completes.
    SavedVoice voice;
    std::filesystem::create_hard_link(voice.path, voice.dir / "linked.vpm");
    FaultyCalls calls;
    std::vector<std::string> other_run;
    bool looked = false;
    bool journal_written = false;
    calls.before_call = [&](const std::string& name) {
        journal_written = journal_written || name == "rename_in_folder";
        if (name != "write" || looked || !journal_written) return;
        looked = true;
        for (const RecoveryMode mode : {RecoveryMode::record, RecoveryMode::look_only}) {
            VoiceImage meanwhile;
            const LoadResult seen = meanwhile.load_image(voice.dir / "linked.vpm", voice.journals, system_file_calls(), mode);
            for (const std::string& text : texts(seen, "linked.vpm")) other_run.push_back(text);
            // Nor can it save the file, whichever link it takes.
            EditLog edits(meanwhile);
            meanwhile.put_str(0, ByteString{0x55});
            other_run.push_back(messages::reason_text(meanwhile.save_image(edits.changed_ranges(), voice.journals, system_file_calls()).problem));
        }
    };
    ASSERT_TRUE(voice.save(calls).ok());
    const std::string saving =
        "Another run of this program is saving the file \"linked.vpm\" right now; what is shown may change once "
        "that save ends.";
#ifdef _WIN32
    // Windows lets no second writer open a file a save holds open.
    const std::string refused = "another program, or another run of this one, has it open for writing";
#else
    const std::string refused = "another run of this program is saving it right now";
#endif
    EXPECT_EQ(other_run, (std::vector<std::string>{saving, refused, saving, refused}));
    EXPECT_EQ(read_file(voice.path), voice.patched());
    EXPECT_EQ(voice.kept(), std::vector<std::string>{});
}

#ifndef _WIN32
// Another run saves the file between this run's open and its lock: every
// check is made under the lock, also where the file's time does not move
// (a FUSE FAT driver keeps it through writes).
TEST(SaveFaults, WhatChangedBeforeTheLockIsSeenUnderIt) {
    for (const bool time_kept : {false, true}) {
        SCOPED_TRACE(time_kept ? "time kept" : "time moved");
        SavedVoice voice;
        FaultyCalls calls;
        ByteString other = voice.original;
        other[7000] ^= 0x11;
        calls.before_call = [&](const std::string& name) {
            if (name != "try_lock") return;
            struct stat before {};
            ASSERT_EQ(::stat(voice.path.c_str(), &before), 0);
            const int fd = ::open(voice.path.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::pwrite(fd, other.data() + 7000, 1, 7000), 1);
            if (time_kept) {
                const struct timespec times[2] = {before.st_atim, before.st_mtim};
                ASSERT_EQ(::futimens(fd, times), 0);
            }
            ::close(fd);
        };
        const SaveResult result = voice.save(calls);
        EXPECT_EQ(result.status, SaveStatus::refused);
        EXPECT_EQ(result.problem.what, FileProblem::changed_since_opened);
        EXPECT_EQ(read_file(voice.path), other);
        EXPECT_EQ(voice.kept(), std::vector<std::string>{});
    }
}
#endif

// A journal that outlives its finished save (its removal failed, or never
// reached the device before a power loss) finds its record and is retired,
// the save kept.
TEST(SaveFaults, AJournalThatOutlivesItsFinishedSaveNeverUndoesIt) {
    SavedVoice voice;
    FaultyCalls calls;
    calls.before_call = [&](const std::string& name) {
        if (name == "remove_in_folder" && calls.fail_call == 0) calls.fail_call = static_cast<int>(calls.calls.size()) + 1;
    };
    ASSERT_TRUE(voice.save(calls).ok());
    EXPECT_EQ(calls.failed, "remove_in_folder");
    EXPECT_EQ(voice.kept().size(), 1u);
    VoiceImage reopened;
    const LoadResult opened = reopened.load_image(voice.path, voice.journals, system_file_calls());
    EXPECT_EQ(opened.events.size(), 0u);
    EXPECT_EQ(read_file(voice.path), voice.patched());
    EXPECT_EQ(voice.kept(), std::vector<std::string>{});
    const SavesOfVoice saves = saves_of_voice(reopened, voice.journals, system_file_calls());
    ASSERT_TRUE(saves.last_save().has_value());
    EXPECT_EQ(saves.last_save()->state, SaveRecord::State::finished);
}

// A file cut off half-way is put back only when asked, wherever it turns up:
// through a hard link, or as a copy elsewhere; a later save of either is
// never undone by that interrupted save.
TEST(SaveFaults, AnInterruptedSaveNeverWritesByItselfAndNeverUndoesALaterSave) {
    // Crashed, then saved again through a hard link: the open writes nothing
    // and the save completes the file.
    {
        SavedVoice voice;
        voice.crash_midway();
        const ByteString half = read_file(voice.path);
        const auto link = voice.dir / "other name.vpm";
        std::filesystem::create_hard_link(voice.path, link);
        VoiceImage through_link;
        EXPECT_EQ(through_link.load_image(link, voice.journals, system_file_calls()).events.size(), 0u);
        EXPECT_EQ(read_file(voice.path), half);
        EXPECT_TRUE(saves_of_voice(through_link, voice.journals, system_file_calls()).half_way.has_value());
        ASSERT_TRUE(voice.save_into(through_link, system_file_calls()).ok());
        VoiceImage again;
        ASSERT_TRUE(again.load_image(voice.path, voice.journals, system_file_calls()).ok());
        EXPECT_FALSE(saves_of_voice(again, voice.journals, system_file_calls()).half_way.has_value());
        EXPECT_EQ(read_file(voice.path), voice.patched());
    }
    // Crashed, then found as a copy elsewhere: put back when asked; a later
    // save there is never taken for that one cut off, and the first path
    // still can be put back.
    {
        SavedVoice voice;
        voice.crash_midway();
        const ByteString half = read_file(voice.path);
        std::filesystem::create_directory(voice.dir / "elsewhere");
        const auto moved = voice.dir / "elsewhere" / "voice.vpm";
        write_file(moved, half);
        VoiceImage there;
        ASSERT_TRUE(there.load_image(moved, voice.journals, system_file_calls()).ok());
        const SavesOfVoice found = saves_of_voice(there, voice.journals, system_file_calls());
        ASSERT_TRUE(found.half_way.has_value());
        EXPECT_EQ(found.half_way->file_path, voice.path.string());
        EXPECT_EQ(read_file(moved), half);
        EXPECT_EQ(undo_last_patch(there, voice.journals, system_file_calls(), false, UndoScope::half_way).outcome,
                  UndoOutcome::undone);
        EXPECT_EQ(read_file(moved), voice.original);
        ASSERT_TRUE(voice.save_into(there, system_file_calls()).ok());
        VoiceImage reopened;
        ASSERT_TRUE(reopened.load_image(moved, voice.journals, system_file_calls()).ok());
        EXPECT_FALSE(saves_of_voice(reopened, voice.journals, system_file_calls()).half_way.has_value());
        EXPECT_EQ(read_file(moved), voice.patched());
        VoiceImage first;
        ASSERT_TRUE(first.load_image(voice.path, voice.journals, system_file_calls()).ok());
        EXPECT_EQ(read_file(voice.path), half);
        EXPECT_EQ(undo_last_patch(first, voice.journals, system_file_calls(), false).outcome, UndoOutcome::undone);
        EXPECT_EQ(read_file(voice.path), voice.original);
        EXPECT_EQ(voice.kept(), std::vector<std::string>{});
    }
}

// Journals planted in the folder, as another program or person might: none
// ever writes, one that is none of ours is named, and an older journal that
// nothing proves is kept for the file it was written for.
TEST(SaveFaults, JournalsThatDoNotBelongAreLeftAloneAndNamed) {
    struct Case {
        std::string name;
        std::function<void(SavedVoice&, std::filesystem::path& journal)> plant;
        std::string said;  // with {journal} for the journal's path
        bool journal_kept;
    };
    const auto journal_of = [](const SavedVoice& v, ByteString edited_file) {
        SaveJournal record;
        record.version = 2;
        record.save.file_path = std::filesystem::weakly_canonical(v.path).string();
        record.identity.size = 20000;
        record.save.ranges = {{100, {v.original.begin() + 100, v.original.begin() + 105}, {1, 2, 3, 4, 5}},
                         {12345, {v.original[12345], v.original[12346]}, {0xDE, 0xAD}}};
        record.save.before = digest_with_old_bytes(edited_file, record.save.ranges);
        return record;
    };
    const auto stranger = [](const std::string& why) {
        return "The file \"{journal}\" lies among this program's save journals but is not one (" + why +
               "); it was left alone. Remove it if you do not know what it is.";
    };
    const std::vector<Case> cases = {
        {"a one-byte edit outside the ranges since the crash",
         [&](SavedVoice& v, std::filesystem::path& j) {
             ByteString half = v.patched();
             half[12345] = v.original[12345];
             half[12346] = v.original[12346];
             half[5000] ^= 0x40;
             write_file(v.path, half);
             write_file(j, encode_journal(journal_of(v, v.original)));
         },
         "", true},
        {"cut short", [&](SavedVoice& v, std::filesystem::path& j) {
             write_file(v.path, v.patched());
             ByteString bytes = encode_journal(journal_of(v, v.original));
             bytes.resize(bytes.size() - 3);
             write_file(j, bytes);
         },
         stranger("it is not in this program's journal format, or it is damaged"), true},
        {"a count of sixteen million ranges",
         [&](SavedVoice& v, std::filesystem::path& j) {
             ByteString bytes{'T', 'T', 'S', 'J', 'R', 'N', 'L', '2', 0, 0, 0, 0};
             bytes.resize(bytes.size() + 32 + 16, 0);
             bytes.insert(bytes.end(), {0x00, 0x00, 0x00, 0x01});
             const std::uint64_t sum = journal_checksum(bytes);
             for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(sum >> (8 * i)));
             write_file(v.path, v.patched());
             write_file(j, bytes);
         },
         stranger("it is not in this program's journal format, or it is damaged"), true},
        {"two megabytes of noise",
         [&](SavedVoice& v, std::filesystem::path& j) {
             write_file(v.path, v.patched());
             write_file(j, pattern_bytes(2 << 20, 9));
         },
         stranger("it is longer than any journal of this program"), true},
        {"another path's, its ranges matching, its digest of nothing",
         [&](SavedVoice& v, std::filesystem::path& j) {
             SaveJournal record = journal_of(v, v.original);
             record.save.file_path = "/media/OTHER/voice.vpm";
             record.save.before.fill(0x5A);
             write_file(v.path, v.patched());
             write_file(j, encode_journal(record));
         },
         "", true},
#ifndef _WIN32
        {"a link as journal",
         [&](SavedVoice& v, std::filesystem::path& j) {
             write_file(v.path, v.patched());
             write_file(v.dir / "elsewhere.journal", encode_journal(journal_of(v, v.original)));
             std::filesystem::create_symlink(v.dir / "elsewhere.journal", j);
         },
         stranger("it is a link"), true},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SavedVoice voice;
        std::filesystem::create_directory(voice.journals);
        std::filesystem::path journal = voice.journals / (new_journal_stem(voice.path) + ".journal");
        c.plant(voice, journal);
        const ByteString planted = read_file(voice.path);
        VoiceImage image;
        const LoadResult opened = image.load_image(voice.path, voice.journals, system_file_calls());
        ASSERT_TRUE(opened.ok());
        std::string said = c.said;
        if (!said.empty()) said.replace(said.find("{journal}"), 9, journal.string());
        EXPECT_EQ(texts(opened, "voice.vpm"), said.empty() ? std::vector<std::string>{} : std::vector<std::string>{said});
        EXPECT_EQ(read_file(voice.path), planted);
        EXPECT_EQ(std::filesystem::exists(journal) || std::filesystem::is_symlink(journal), c.journal_kept);
    }
}

#ifndef _WIN32
// The folder of journals is used only when it is the user's own.
TEST(SaveFaults, AJournalFolderNobodyElseControls) {
    struct Case {
        std::string name;
        std::function<void(const SavedVoice&)> arrange;
        std::string reason;
        bool needs_root;
    };
    const std::vector<Case> cases = {
        {"a link to a shared folder",
         [](const SavedVoice& v) {
             std::filesystem::create_directory(v.dir / "shared");
             ::chmod((v.dir / "shared").c_str(), 01777);
             std::filesystem::create_directory_symlink(v.dir / "shared", v.journals);
         },
         "is a link, not a folder of your own", false},
        {"writable by its group",
         [](const SavedVoice& v) {
             std::filesystem::create_directory(v.journals);
             ::chmod(v.journals.c_str(), 0770);
         },
         "may be written by other users; make it yours alone (chmod 700)", false},
        {"writable by anyone",
         [](const SavedVoice& v) {
             std::filesystem::create_directory(v.journals);
             ::chmod(v.journals.c_str(), 01777);
         },
         "may be written by other users; make it yours alone (chmod 700)", false},
        {"owned by another user",
         [](const SavedVoice& v) {
             std::filesystem::create_directory(v.journals);
             ::chmod(v.journals.c_str(), 0700);
             EXPECT_EQ(::chown(v.journals.c_str(), 4321, 4321), 0);
         },
         "belongs to another user", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_root && ::geteuid() != 0) continue;
        SavedVoice voice;
        c.arrange(voice);
        struct stat before {};
        ::stat(voice.journals.c_str(), &before);
        // A journal planted there would put bytes into the file: it is never read.
        SaveJournal planted;
        planted.version = 2;
        planted.save.file_path = voice.path.string();
        planted.identity.size = 20000;
        planted.save.ranges = {{7, {voice.original[7]}, {0x99}}};
        write_file(voice.path, [&] { ByteString b = voice.original; b[7] = 0x99; return b; }());
        planted.save.before = digest_of(voice.original);
        write_file(voice.journals / (new_journal_stem(voice.path) + ".journal"), encode_journal(planted));
        const ByteString arranged = read_file(voice.path);

        const std::string folder_text = "the folder of save journals \"" + voice.journals.string() + "\" " + c.reason;
        VoiceImage image;
        const LoadResult opened = image.load_image(voice.path, voice.journals, system_file_calls());
        EXPECT_EQ(texts(opened, "voice.vpm"),
                  std::vector<std::string>{"Interrupted saves of the file \"voice.vpm\" could not be looked for: " +
                                           folder_text + "."});
        EXPECT_EQ(read_file(voice.path), arranged);
        const SaveResult saved = voice.save_into(image, system_file_calls());
        EXPECT_EQ(saved.status, SaveStatus::refused);
        EXPECT_EQ(messages::reason_text(saved.problem), folder_text);
        EXPECT_EQ(read_file(voice.path), arranged);
        struct stat after {};
        ::stat(voice.journals.c_str(), &after);
        EXPECT_EQ(after.st_mode, before.st_mode);
        if (std::filesystem::is_symlink(voice.journals)) {
            EXPECT_EQ(std::filesystem::status(voice.dir / "shared").permissions(), std::filesystem::perms(01777));
        }
    }
}
#else
// The folder of journals is used only when nobody else may write to it, as
// its security descriptor says.
TEST(SaveFaults, AJournalFolderNobodyElseControls) {
    SavedVoice voice;
    ASSERT_TRUE(voice.save(system_file_calls()).ok());  // the folder as the program makes it is trusted

    // Everyone given the right to add files to it.
    EXPLICIT_ACCESSW everyone{};
    everyone.grfAccessPermissions = FILE_ADD_FILE | FILE_LIST_DIRECTORY;
    everyone.grfAccessMode = GRANT_ACCESS;
    everyone.grfInheritance = NO_INHERITANCE;
    everyone.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    everyone.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    wchar_t world[] = L"EVERYONE";
    everyone.Trustee.ptstrName = world;
    PACL widened = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &everyone, nullptr, &widened), static_cast<DWORD>(ERROR_SUCCESS));
    std::wstring folder = voice.journals.wstring();
    ASSERT_EQ(SetNamedSecurityInfoW(folder.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    widened, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(widened);

    const ByteString before = read_file(voice.path);
    VoiceImage image;
    const LoadResult opened = image.load_image(voice.path, voice.journals, system_file_calls());
    ASSERT_TRUE(opened.ok());
    EditLog edits(image);
    image.put_str(200, ByteString{0x77});
    const SaveResult saved = image.save_image(edits.changed_ranges(), voice.journals, system_file_calls());
    EXPECT_EQ(saved.status, SaveStatus::refused);
    EXPECT_EQ(messages::reason_text(saved.problem),
              "the folder of save journals \"" + voice.journals.string() +
                  "\" may be written by other users; make it yours alone (its Security settings)");
    EXPECT_EQ(read_file(voice.path), before);
}
#endif

// A look writes nothing anywhere: not the file, not a journal, not the
// history; what it found is still known to it.
TEST(SaveFaults, LookingNeverWrites) {
    SavedVoice voice;
    voice.crash_midway();
    const ByteString half = read_file(voice.path);
    const std::vector<std::string> journals = voice.kept();
    ASSERT_EQ(journals.size(), 1u);
    VoiceImage looked;
    const LoadResult seen = looked.load_image(voice.path, voice.journals, system_file_calls(), RecoveryMode::look_only);
    EXPECT_EQ(seen.events.size(), 0u);
    ASSERT_EQ(seen.pending.size(), 1u);
    EXPECT_EQ(ByteString(looked.file_buf().begin(), looked.file_buf().end()), half);
    EXPECT_EQ(read_file(voice.path), half);
    EXPECT_EQ(voice.kept(), journals);
    EXPECT_TRUE(std::filesystem::is_empty(voice.dir / "history"));
    EXPECT_TRUE(saves_of_voice(looked, voice.journals, system_file_calls(), seen.pending).half_way.has_value());
}

TEST(SaveFaults, TheSameOnTheInMemoryFileSystem) {
    const ByteString original = pattern_bytes(20000, 3);
    ByteString patched = original;
    patched[100] = 1;
    patched[101] = 2;
    for (int n = 1;; ++n) {
        SCOPED_TRACE("crash at call " + std::to_string(n));
        ASSERT_LT(n, 400) << "the save never completed";
        MemoryFiles files;
        files.put_file("/device/voice.vpm", original);
        VoiceImage image;
        ASSERT_TRUE(image.load_image("/device/voice.vpm", "/home/journals", files).ok());
        FaultyCalls crashing(files);
        crashing.crash_at = n;
        crashing.max_write = 1;
        EditLog edits(image);
        image.put_str(100, ByteString{1, 2});
        const bool saved = image.save_image(edits.changed_ranges(), "/home/journals", crashing).ok();
        const std::optional<ByteString> at_crash = files.file("/device/voice.vpm");
        VoiceImage reopened;
        ASSERT_TRUE(reopened.load_image("/device/voice.vpm", "/home/journals", files).ok());
        EXPECT_EQ(files.file("/device/voice.vpm"), at_crash);
        for (const std::string& name : files.entries("/home/journals")) EXPECT_TRUE(name.ends_with(".partial")) << name;
        if (saved) {
            EXPECT_EQ(at_crash, patched);
        }
        if (at_crash != original) {
            EXPECT_EQ(undo_last_patch(reopened, "/home/journals", files, false).outcome, UndoOutcome::undone);
            EXPECT_EQ(files.file("/device/voice.vpm"), original);
        }
        if (crashing.failed.empty()) break;
    }
}

TEST(SaveJournal, DecodesWhatItEncodesAndNothingCutChangedOrOutOfBounds) {
    SaveJournal record;
    record.save.file_path = "/media/GARMIN/Voice/Amélie.vpm";
    record.identity = {7, 99, 2147483647, 123456789};
    record.save.before = digest_of(ByteString{1, 2, 3});
    record.save.ranges = {{100, {1, 2, 3}, {4, 5, 6}}, {200, {7}, {8}}, {2147483000, {9}, {8}}};
    record.save.kind = SaveRecord::Kind::undo;
    record.save.options = {{5, "Change \"Cl\""}, {19, ""}};
    record.save.time_ns = 1'790'769'600'000'000'000;
    record.save.after = digest_of(ByteString{4});
    record.save.origin = digest_of(ByteString{5});
    record.save.token = 0x0123456789abcdefull;
    const ByteString bytes = encode_journal(record);
    const auto decoded = decode_journal(bytes);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->version, 3);
    EXPECT_EQ(decoded->save.file_path, record.save.file_path);
    EXPECT_EQ(decoded->identity, record.identity);
    EXPECT_EQ(decoded->save.before, record.save.before);
    EXPECT_EQ(decoded->save.ranges, record.save.ranges);
    EXPECT_EQ(decoded->save.kind, record.save.kind);
    EXPECT_EQ(decoded->save.options, record.save.options);
    EXPECT_EQ(decoded->save.time_ns, record.save.time_ns);
    EXPECT_EQ(decoded->save.after, record.save.after);
    EXPECT_EQ(decoded->save.origin, record.save.origin);
    EXPECT_EQ(decoded->save.token, record.save.token);
    // Its record, as a conversion writes it, reads back the same.
    const SaveRecord made = record_of(*decoded, SaveRecord::State::interrupted);
    const std::optional<SaveRecord> again = decode_record(encode_record(made));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->state, SaveRecord::State::interrupted);
    EXPECT_EQ(again->token, record.save.token);
    EXPECT_EQ(again->origin, record.save.origin);
    EXPECT_EQ(again->ranges, record.save.ranges);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        EXPECT_FALSE(decode_journal(ByteView(bytes).first(cut)).has_value()) << cut;
        ByteString flipped = bytes;
        flipped[cut] ^= 0x10;
        EXPECT_FALSE(decode_journal(flipped).has_value()) << cut;
    }
    // Well-formed and checksummed, but not what a save writes.
    for (const auto& ranges : std::vector<std::vector<ChangedRange>>{
             {{200, {1}, {2}}, {100, {1}, {2}}},        // out of order
             {{100, {1, 2}, {3, 4}}, {101, {1}, {2}}},  // overlapping
             {{100, {}, {}}},                           // empty
             {{2147483647, {1}, {2}}},                  // past the file's end
             {{-1, {1}, {2}}}}) {
        SaveJournal odd = record;
        odd.save.ranges = ranges;
        EXPECT_FALSE(decode_journal(encode_journal(odd)).has_value());
    }
}

TEST(SaveJournal, NamesDifferForEveryPathAndSaveAndStayPlain) {
    const std::string a = new_journal_stem("/media/GARMIN/Voice/voice.vpm");
    EXPECT_NE(a, new_journal_stem("/media/GARMIN/Voice/voice.vpm"));
    EXPECT_EQ(a.substr(0, 17), new_journal_stem("/media/GARMIN/Voice/voice.vpm").substr(0, 17));
    EXPECT_NE(a.substr(0, 16), new_journal_stem("/media/GARMIN1/Voice/voice.vpm").substr(0, 16));
    EXPECT_TRUE(a.ends_with("-voice.vpm"));
    EXPECT_EQ(a.size(), 16 + 1 + 16 + 1 + 9);
    const std::string accented = new_journal_stem("/m/" + std::string(300, 'x') + "é.vpm");
    EXPECT_EQ(accented.size(), 16 + 1 + 16 + 1 + 48);
    EXPECT_EQ(accented.find_first_not_of("0123456789abcdefx-._"), std::string::npos);
    EXPECT_EQ(journal_stem(a + ".journal"), a);
    EXPECT_EQ(journal_stem(a + ".partial"), "");
}

}  // namespace
}  // namespace tarnwick
