// Saves, looks and recoveries of voice files interleaved call by call on the
// in-memory file system by a seeded scheduler, with crashes at any call,
// power losses that keep any subset of unflushed pages, copies, devices
// mounted elsewhere, a second journal folder and edits by other programs.
// After every step the files are checked against what the runs reported.
// TARNWICK_SIM_SECONDS bounds the time (5 s unless set) and
// TARNWICK_SIM_FIRST_SEED moves the seeds on; TARNWICK_SIM_SEED replays one
// history and prints its trace, with TARNWICK_SIM_VERBOSE as it goes and
// TARNWICK_SIM_WATCH=OFFSET following one byte of every file.
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "engine/journal_format.h"
#include "engine/memory_files.h"
#include "engine/recovery_rules.h"
#include "engine/voice_image.h"

namespace tarnwick {
namespace {

using Handle = FileSystemCalls::Handle;

struct Killed {};

// Hands the one turn to move among the runs of a history: a run waits at
// each of its file calls until the scheduler lets exactly it go on.
class Baton {
public:
    // Called by a run before each call: waits for its turn. Throws Killed
    // when the scheduler ends the run there.
    void wait_turn(int run) {
        std::unique_lock lock(mutex_);
        waiting_.insert(run);
        if (turn_ == run) turn_ = -1;  // the call it was let make is over
        changed_.notify_all();
        changed_.wait(lock, [&] { return turn_ == run; });
        waiting_.erase(run);
        if (killed_.contains(run)) throw Killed{};
    }
    void finished(int run) {
        std::lock_guard lock(mutex_);
        done_.insert(run);
        if (turn_ == run) turn_ = -1;
        changed_.notify_all();
    }
    // Lets `run` make its next call (or die there), then waits until it waits
    // again or has finished.
    void give_turn(int run, bool kill) {
        std::unique_lock lock(mutex_);
        if (kill) killed_.insert(run);
        turn_ = run;
        changed_.notify_all();
        changed_.wait(lock, [&] { return kill ? done_.contains(run) : turn_ != run; });
    }
    // Waits until every one of `runs` waits or has finished.
    void settle(const std::vector<int>& runs) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            return std::all_of(runs.begin(), runs.end(), [&](int r) { return waiting_.contains(r) || done_.contains(r); });
        });
    }
    std::vector<int> ready(const std::vector<int>& runs) {
        std::lock_guard lock(mutex_);
        std::vector<int> out;
        for (int r : runs) {
            if (waiting_.contains(r)) out.push_back(r);
        }
        return out;
    }
    bool is_killed(int run) {
        std::lock_guard lock(mutex_);
        return killed_.contains(run);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<int> waiting_, done_, killed_;
    int turn_ = -1;
};

// One run's view of the shared file system: every call waits for the
// run's turn first; once the run is dead, calls do nothing.
class RunCalls final : public FileSystemCalls {
public:
    RunCalls(MemoryFiles& files, Baton& baton, int run, std::function<void(Handle, std::int64_t, std::size_t)> on_write)
        : files_(files), baton_(baton), run_(run), on_write_(std::move(on_write)) {}
    std::vector<Handle> handles;
    std::atomic<bool> dead = false;
    int voice_writes = 0;  // writes to anything but a journal this run created
    ByteString locked_bytes;

    std::filesystem::path resolved(const std::filesystem::path& path) override { return files_.resolved(path); }
    std::error_code open_for_reading(const std::filesystem::path& p, Handle& h, FileInfo& i) override {
        return opened(gate() ? gone() : files_.open_for_reading(p, h, i), h);
    }
    std::error_code open_for_update(const std::filesystem::path& p, Handle& h, FileInfo& i) override {
        return opened(gate() ? gone() : files_.open_for_update(p, h, i), h);
    }
    std::error_code describe(Handle h, FileInfo& i) override { return gate() ? gone() : files_.describe(h, i); }
    std::error_code read_at(Handle h, std::int64_t o, std::uint8_t* d, std::size_t s, std::size_t& g) override {
        return gate() ? gone() : files_.read_at(h, o, d, s, g);
    }
    std::error_code write_at(Handle h, std::int64_t o, const std::uint8_t* d, std::size_t s, std::size_t& w) override {
        if (gate()) return gone();
        if (!created_.contains(h)) {
            ++voice_writes;
            on_write_(h, o, s);
        }
        return files_.write_at(h, o, d, s, w);
    }
    std::error_code flush(Handle h) override { return gate() ? gone() : files_.flush(h); }
    std::error_code read_uncached(Handle h, std::int64_t o, std::uint8_t* d, std::size_t s, std::size_t& g) override {
        return gate() ? gone() : files_.read_uncached(h, o, d, s, g);
    }
    std::error_code try_lock(Handle h) override {
        if (gate()) return gone();
        const std::error_code ec = files_.try_lock(h);
        FileInfo info;
        if (!ec && !files_.describe(h, info) && info.is_regular) {
            // What the file held when this run took it: what a put-back starts from.
            locked_bytes.assign(static_cast<std::size_t>(info.identity.size), 0);
            std::size_t got = 0;
            files_.read_at(h, 0, locked_bytes.data(), locked_bytes.size(), got);
        }
        return ec;
    }
    std::error_code lock_held(Handle h, bool& held) override { return gate() ? gone() : files_.lock_held(h, held); }
    std::error_code close(Handle h) override { return dead ? gone() : files_.close(h); }
    std::error_code make_private_folder(const std::filesystem::path& f) override {
        return gate() ? gone() : files_.make_private_folder(f);
    }
    std::error_code open_folder(const std::filesystem::path& p, Folder& f, FileInfo& i) override {
        return opened(gate() ? gone() : files_.open_folder(p, f, i), f.handle);
    }
    std::error_code list_folder(const Folder& f, std::vector<std::string>& n) override {
        return gate() ? gone() : files_.list_folder(f, n);
    }
    std::error_code open_in_folder(const Folder& f, const std::string& n, Handle& h, FileInfo& i) override {
        return opened(gate() ? gone() : files_.open_in_folder(f, n, h, i), h);
    }
    std::error_code create_in_folder(const Folder& f, const std::string& n, Handle& h) override {
        const std::error_code ec = opened(gate() ? gone() : files_.create_in_folder(f, n, h), h);
        if (!ec) created_.insert(h);
        return ec;
    }
    std::error_code rename_in_folder(const Folder& f, const std::string& a, const std::string& b) override {
        return gate() ? gone() : files_.rename_in_folder(f, a, b);
    }
    std::error_code remove_in_folder(const Folder& f, const std::string& n) override {
        return gate() ? gone() : files_.remove_in_folder(f, n);
    }
    std::error_code flush_folder(const Folder& f) override { return gate() ? gone() : files_.flush_folder(f); }

private:
    static std::error_code gone() { return std::make_error_code(std::errc::io_error); }
    // True when the run is dead and the call must do nothing.
    bool gate() {
        if (dead) return true;
        try {
            baton_.wait_turn(run_);
        } catch (const Killed&) {
            dead = true;
            throw;
        }
        return false;
    }
    std::error_code opened(std::error_code ec, const Handle& h) {
        if (!ec && h != -1) handles.push_back(h);
        return ec;
    }
    MemoryFiles& files_;
    Baton& baton_;
    int run_;
    std::function<void(Handle, std::int64_t, std::size_t)> on_write_;
    std::set<Handle> created_;
};

constexpr std::size_t kVoiceSize = 12 * 1024;  // three pages
constexpr int kOptions = 8;

// Option k rewrites a few bytes at a place of its own; some share a page.
ChangedRange option_range(int k, ByteView original) {
    static constexpr std::int64_t kAt[kOptions] = {100, 140, 2000, 4090, 5000, 8200, 8230, 12000};
    const std::int64_t at = kAt[k];
    const std::size_t length = 4 + static_cast<std::size_t>(k % 5);
    ChangedRange range{at, {original.begin() + at, original.begin() + at + static_cast<std::ptrdiff_t>(length)}, {}};
    range.new_bytes = range.old_bytes;
    for (std::uint8_t& b : range.new_bytes) b = static_cast<std::uint8_t>(~b);
    return range;
}

// What the model holds of one voice file.
struct Expected {
    ByteString base;  // what the last save reported successful (or a recovery, copy or edit) left
    // Saves that may have left it torn while their journal exists: the
    // file may hold any mix of their old and new bytes in their ranges.
    std::vector<std::vector<ChangedRange>> torn_by;
    // Put-backs a person asked for that were cut short: the file may hold
    // any mix of what it held and those old bytes until it is saved again.
    std::vector<std::vector<ChangedRange>> asked;
};

class History {
public:
    explicit History(std::uint64_t seed) : seed_(seed), random_(seed) {
        files_.track_durability();
        ByteString original(kVoiceSize);
        for (std::size_t i = 0; i < original.size(); ++i) original[i] = static_cast<std::uint8_t>((i * 131 + seed) >> 3);
        original_ = original;
        for (const char* path : {"/media/GARMIN/voice.vpm", "/home/me/backup.vpm"}) {
            files_.put_file(path, original);
            expected_[path] = {original, {}, {}};
        }
        files_.put_folder(kFolders[0]);
        files_.put_folder(kFolders[1]);
    }

    // Runs the history; returns the first broken invariant, or empty.
    std::string run(int rounds) {
        for (int round = 0; round < rounds && failure_.empty(); ++round) {
            between_rounds();
            one_round();
        }
        if (failure_.empty()) final_check();
        return failure_;
    }
    std::string trace() const { return trace_.str(); }

private:
    static constexpr const char* kFolders[2] = {"/home/me/.local/share/tts-tarnwick/journals",
                                                "/home/you/.local/share/tts-tarnwick/journals"};

    std::uint64_t pick(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(random_); }

    void fail(const std::string& what) {
        if (failure_.empty()) failure_ = what;
    }

    std::vector<std::string> voice_paths() const {
        std::vector<std::string> paths;
        for (const auto& [path, expected] : expected_) paths.push_back(path);
        return paths;
    }

    // Copies, remounts, edits and time passing, while no run is going.
    void between_rounds() {
        files_.advance_clock(static_cast<std::int64_t>(pick(3)) * 600'000'000'000);  // up to 20 minutes
        const std::vector<std::string> paths = voice_paths();
        const std::string path = paths[pick(paths.size())];
        switch (pick(6)) {
            case 0: {
                const std::string copy = "/home/me/copy" + std::to_string(++copies_) + ".vpm";
                files_.put_file(copy, *files_.file(path));
                expected_[copy] = {*files_.file(copy), {}, {}};
                trace_ << "copy " << path << " to " << copy << '\n';
                break;
            }
            case 1: {
                // The device unplugged and mounted under another folder, or back.
                const std::string to = path.starts_with("/media/GARMIN/") ? "/media/GARMIN1/voice.vpm"
                                       : path.starts_with("/media/GARMIN1/") ? "/media/GARMIN/voice.vpm"
                                                                              : path;
                if (to == path) break;
                files_.remount(path, to);
                expected_[to] = expected_[path];
                expected_.erase(path);
                trace_ << "remount " << path << " at " << to << '\n';
                break;
            }
            case 2: {
                // Another program changes a byte outside every option.
                ByteString bytes = *files_.file(path);
                bytes[3000 + pick(900)] ^= 0x5A;
                files_.put_file(path, bytes);
                expected_[path] = {bytes, {}, {}};
                trace_ << "edit " << path << '\n';
                break;
            }
            default: break;
        }
    }

    struct Run {
        std::string kind;
        std::string path;
        int folder = 0;
        std::set<int> options;
    };

    void one_round() {
        const int count = 1 + static_cast<int>(pick(3));
        // The files move to another account or computer now and then, with
        // a journal folder of its own; that takes longer than any save.
        const int folder = pick(4) == 0 ? 1 : 0;
        if (folder != last_folder_) files_.advance_clock(kLongestWriteNs + 1'000'000'000);
        last_folder_ = folder;
        std::vector<Run> runs;
        const std::vector<std::string> paths = voice_paths();
        for (int i = 0; i < count; ++i) {
            static const char* kKinds[] = {"apply", "apply", "apply", "status", "open", "recover"};
            Run run{kKinds[pick(6)], paths[pick(paths.size())], folder, {}};
            for (int k = 0; k < kOptions; ++k) {
                if (pick(2) == 0) run.options.insert(k);
            }
            runs.push_back(run);
        }
        Baton baton;
        std::vector<std::unique_ptr<RunCalls>> calls;
        std::vector<std::thread> threads;
        std::vector<int> ids;
        for (int i = 0; i < count; ++i) {
            ids.push_back(i);
            calls.push_back(std::make_unique<RunCalls>(files_, baton, i, [this, i](Handle, std::int64_t offset, std::size_t size) {
                check_write(i, offset, size);
            }));
            trace_ << "run " << i << ": " << runs[static_cast<std::size_t>(i)].kind << ' ' << runs[static_cast<std::size_t>(i)].path
                   << " folder " << runs[static_cast<std::size_t>(i)].folder << " options";
            for (int k : runs[static_cast<std::size_t>(i)].options) trace_ << ' ' << k + 1;
            trace_ << '\n';
        }
        for (int i = 0; i < count; ++i) {
            const std::uint64_t tokens = seed_ * 1000 + static_cast<std::uint64_t>(rounds_done_) * 10 + static_cast<std::uint64_t>(i);
            threads.emplace_back([&, i, tokens] {
                repeat_journal_tokens(tokens);
                try {
                    // Nothing of a run happens before its first turn, so that
                    // no two runs ever touch the model at once.
                    baton.wait_turn(i);
                    perform(runs[static_cast<std::size_t>(i)], *calls[static_cast<std::size_t>(i)], i);
                } catch (const Killed&) {
                }
                baton.finished(i);
            });
        }
        baton.settle(ids);
        bool power_lost = false;
        while (true) {
            const std::vector<int> ready = baton.ready(ids);
            if (ready.empty()) break;
            const int run = ready[pick(ready.size())];
            const std::uint64_t roll = pick(1000);
            if (!power_lost && roll < 4) {
                // A power loss: every run dies where it is.
                trace_ << "power lost\n";
                power_lost = true;
                for (int r : ready) calls[static_cast<std::size_t>(r)]->dead = true;
                files_.lose_power([this](std::uint64_t n) { return pick(n); });
                for (int r : ready) {
                    baton.give_turn(r, true);
                    after_crash(r);
                }
                check_files();
                continue;
            }
            const bool kill = roll < 20;
            if (kill) {
                trace_ << "kill run " << run << '\n';
                files_.close_all(calls[static_cast<std::size_t>(run)]->handles);
                calls[static_cast<std::size_t>(run)]->dead = true;
            }
            baton.give_turn(run, kill);
            if (kill) after_crash(run);
            check_files();
            if (verbose_) {
                std::cerr << trace_.str();
                trace_.str("");
            }
        }
        for (std::thread& t : threads) t.join();
        ++rounds_done_;
        check_files();
    }

    // What one run does, as the command line and the window do it.
    void perform(const Run& run, RunCalls& calls, int id) {
        const std::string folder = kFolders[run.folder];
        VoiceImage image;
        const RecoveryMode mode = run.kind == "status"    ? RecoveryMode::look_only
                                  : run.kind == "recover" ? RecoveryMode::repair_copies
                                                          : RecoveryMode::repair;
        const ByteString before = files_.file(run.path).value_or(ByteString{});
        // Asked to, it may put back the old bytes of any journal there is
        // while it runs (see check_files).
        if (mode == RecoveryMode::repair_copies) recovering_[id] = {run.path, before};
        const LoadResult loaded = image.load_image(run.path, folder, calls, mode);
        recovering_.erase(id);
        if (run.kind == "status" && calls.voice_writes != 0) fail("looking wrote to a file");
        // What the file should hold after the put-backs the open told of, in
        // their order: each journal's old bytes in its ranges, every other
        // byte as it was.
        ByteString put_back = calls.locked_bytes.empty() ? before : calls.locked_bytes;
        bool asked_put_back = false;
        for (const RecoveryEvent& event : loaded.events) {
            trace_ << "  run " << id << " told " << static_cast<int>(event.what) << '\n';
            if (event.what != RecoveryEvent::What::copy_put_back && event.what != RecoveryEvent::What::rolled_back) continue;
            const auto seen = seen_journals_.find(event.journal.generic_string());
            if (seen == seen_journals_.end()) {
                fail("a file was put back by a journal nobody saw");
                continue;
            }
            for (const ChangedRange& r : seen->second.ranges) {
                std::copy(r.old_bytes.begin(), r.old_bytes.end(), put_back.begin() + r.offset);
            }
            asked_put_back = asked_put_back || event.what == RecoveryEvent::What::copy_put_back;
        }
        if (asked_put_back) {
            // Asked for: what it holds now is the person's choice.
            const ByteString now = files_.file(run.path).value_or(ByteString{});
            if (now != put_back) fail("a copy put back holds other bytes than those saves' old ones");
            expected_[run.path] = {now, {}, {}};
        }
        if (run.kind != "apply" && run.kind != "status" && !loaded.ok()) return;
        if (!loaded.ok() || run.kind != "apply") return;
        const int writes_before_save = calls.voice_writes;
        EditLog edits(image);
        for (int k : run.options) {
            const ChangedRange range = option_range(k, original_);
            image.put_str(static_cast<std::int32_t>(range.offset), range.new_bytes);
        }
        const std::vector<ChangedRange> changes = edits.changed_ranges();
        if (changes.empty()) return;
        ByteString opened(image.file_buf().begin(), image.file_buf().end());
        for (const ChangedRange& r : changes) std::copy(r.old_bytes.begin(), r.old_bytes.end(), opened.begin() + r.offset);
        in_flight_[id] = {run.path, changes};
        trace_ << "  run " << id << " saves\n";
        check_files();
        const SaveResult saved = image.save_image(changes, folder, calls);
        in_flight_.erase(id);
        const ByteString now = files_.file(run.path).value_or(ByteString{});
        trace_ << "  run " << id << " save " << static_cast<int>(saved.status) << '\n';
        Expected& expected = expected_[run.path];
        switch (saved.status) {
            case SaveStatus::saved:
                if (now != ByteString(image.file_buf().begin(), image.file_buf().end())) fail("a save reported done is not in the file");
                expected = {now, {}, {}};
                break;
            case SaveStatus::rolled_back:
                if (now != opened) fail("a save reported put back left other bytes");
                break;
            case SaveStatus::refused:
                if (calls.voice_writes != writes_before_save) fail("a save reported refused wrote to the file");
                break;
            case SaveStatus::recovery_pending:
                expected.torn_by.push_back(changes);
                break;
        }
        edits.undo();
    }

    std::optional<SaveJournal> journal_at(const std::filesystem::path& path) const {
        const std::optional<ByteString> bytes = files_.file(path);
        if (!bytes) return std::nullopt;
        return decode_journal(*bytes);
    }

    std::vector<std::pair<std::string, SaveJournal>> journals() const {
        std::vector<std::pair<std::string, SaveJournal>> found;
        for (const char* folder : kFolders) {
            for (const std::string& name : files_.entries(folder)) {
                if (!name.ends_with(".journal")) continue;
                const std::string path = std::string(folder) + "/" + name;
                if (std::optional<SaveJournal> journal = journal_at(path)) found.emplace_back(path, std::move(*journal));
            }
        }
        return found;
    }

    // A run died, or all did: a save it was making may be left torn, for as
    // long as its journal exists.
    void after_crash(int run) {
        if (const auto asked = recovering_.find(run); asked != recovering_.end()) {
            // A put-back the person asked for, cut short: they may ask again.
            const ByteString& before = asked->second.second;
            std::vector<ChangedRange> back;
            for (const auto& [name, journal] : seen_journals_) {
                for (const ChangedRange& r : journal.ranges) {
                    if (static_cast<std::size_t>(r.offset) + r.old_bytes.size() > before.size()) continue;
                    const auto at = before.begin() + r.offset;
                    back.push_back({r.offset, ByteString(at, at + static_cast<std::ptrdiff_t>(r.old_bytes.size())), r.old_bytes});
                }
            }
            expected_[asked->second.first].asked.push_back(std::move(back));
            recovering_.erase(asked);
            return;
        }
        const auto flying = in_flight_.find(run);
        if (flying == in_flight_.end()) return;
        expected_[flying->second.first].torn_by.push_back(flying->second.second);
        in_flight_.erase(flying);
    }

    // Every write to a voice file lies inside the ranges of a journal that
    // exists; a put-back of a copy, asked for, may also use one that its
    // own file has retired meanwhile.
    void check_write(int run, std::int64_t offset, std::size_t size) {
        const std::int64_t end = offset + static_cast<std::int64_t>(size);
        const auto inside = [&](const SaveJournal& journal) {
            return std::any_of(journal.ranges.begin(), journal.ranges.end(), [&](const ChangedRange& r) {
                return offset >= r.offset && end <= r.offset + static_cast<std::int64_t>(r.old_bytes.size());
            });
        };
        for (const auto& [path, journal] : journals()) {
            if (inside(journal)) return;
        }
        if (recovering_.contains(run)) {
            for (const auto& [path, journal] : seen_journals_) {
                if (inside(journal)) return;
            }
        }
        fail("a write to a voice file outside every journal's ranges");
    }

    static bool same_ranges(const std::vector<ChangedRange>& a, const std::vector<ChangedRange>& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const ChangedRange& x, const ChangedRange& y) {
                   return x.offset == y.offset && x.old_bytes == y.old_bytes && x.new_bytes == y.new_bytes;
               });
    }

    // Each file holds what the model says, or, while a save is going or its
    // journal exists, a mix of that save's old and new bytes in its ranges.
    void check_files() {
        const auto existing = journals();
        for (const auto& [name, journal] : existing) seen_journals_.emplace(name, journal);
        if (const char* watch = std::getenv("TARNWICK_SIM_WATCH")) {
            const auto at = static_cast<std::size_t>(std::atoi(watch));
            for (const auto& [path, expected] : expected_) {
                if (const auto now = files_.file(path)) {
                    trace_ << "    watch " << path << " file " << int((*now)[at]) << " base " << int(expected.base[at])
                           << " torn " << expected.torn_by.size() << '\n';
                }
            }
        }
        for (auto& [path, expected] : expected_) {
            const std::optional<ByteString> now = files_.file(path);
            if (!now) continue;
            // A torn save whose journal is gone must have left all old or all new.
            std::vector<std::vector<ChangedRange>> still;
            for (std::vector<ChangedRange>& torn : expected.torn_by) {
                const bool kept = std::any_of(existing.begin(), existing.end(),
                                              [&](const auto& entry) { return same_ranges(entry.second.ranges, torn); });
                // A save going on may retire it before it reports: held until then.
                bool flying = false;
                for (const auto& [run, save] : in_flight_) flying = flying || save.first == path;
                if (kept || flying) {
                    still.push_back(std::move(torn));
                    continue;
                }
                // Its journal gone, a torn save either finished (every byte
                // new) or left nothing the other saves do not explain: the
                // byte check below tells a file left torn.
                bool all_old = true;
                bool all_new = true;
                for (const ChangedRange& r : torn) {
                    const ByteView there = ByteView(*now).subspan(static_cast<std::size_t>(r.offset), r.old_bytes.size());
                    all_old = all_old && std::equal(there.begin(), there.end(), r.old_bytes.begin());
                    all_new = all_new && std::equal(there.begin(), there.end(), r.new_bytes.begin());
                }
                if (all_old || all_new) {
                    for (const ChangedRange& r : torn) {
                        const ByteString& left = all_new ? r.new_bytes : r.old_bytes;
                        std::copy(left.begin(), left.end(), expected.base.begin() + r.offset);
                    }
                }
            }
            expected.torn_by = std::move(still);
            std::vector<std::set<std::uint8_t>> allowed;
            std::map<std::size_t, std::set<std::uint8_t>> inside;
            const auto allow = [&](const std::vector<ChangedRange>& ranges) {
                for (const ChangedRange& r : ranges) {
                    for (std::size_t i = 0; i < r.old_bytes.size(); ++i) {
                        auto& bytes = inside[static_cast<std::size_t>(r.offset) + i];
                        bytes.insert(r.old_bytes[i]);
                        bytes.insert(r.new_bytes[i]);
                    }
                }
            };
            for (const auto& torn : expected.torn_by) allow(torn);
            for (const auto& asked : expected.asked) allow(asked);
            for (const auto& [run, save] : in_flight_) {
                if (save.first == path) allow(save.second);
            }
            for (const auto& [run, asked] : recovering_) {
                if (asked.first != path) continue;
                for (const auto& [name, journal] : seen_journals_) allow(journal.ranges);
            }
            if (now->size() != expected.base.size()) {
                fail(path + " changed its size");
                return;
            }
            for (std::size_t i = 0; i < now->size(); ++i) {
                if ((*now)[i] == expected.base[i]) continue;
                const auto mix = inside.find(i);
                if (mix == inside.end() || !mix->second.contains((*now)[i])) {
                    fail(path + " holds byte " + std::to_string(i) + " that no save reported or left torn put there (" +
                         std::to_string((*now)[i]) + " for " + std::to_string(expected.base[i]) + ", " +
                         std::to_string(expected.torn_by.size()) + " torn saves, " + std::to_string(existing.size()) +
                         " journals, " + std::to_string(in_flight_.size()) + " saves going on)" + describe(expected, existing));
                    return;
                }
            }
        }
    }

    std::string describe(const Expected& expected, const std::vector<std::pair<std::string, SaveJournal>>& existing) const {
        const auto offsets = [](const std::vector<ChangedRange>& ranges) {
            std::string text;
            for (const ChangedRange& r : ranges) text += " " + std::to_string(r.offset);
            return text;
        };
        std::string text;
        for (const auto& torn : expected.torn_by) text += "; torn at" + offsets(torn);
        for (const auto& [run, save] : in_flight_) text += "; run " + std::to_string(run) + " saving at" + offsets(save.second);
        for (const auto& [name, journal] : existing) text += "; journal " + name + " of " + journal.file_path + " at" + offsets(journal.ranges);
        return text;
    }

    // Once every run is over, a last open of each file under each folder
    // deals with every journal: none is left that nobody was told of.
    void final_check() {
        repeat_journal_tokens(seed_);
        std::set<std::string> named;
        for (const std::string& path : voice_paths()) {
            for (const char* folder : kFolders) {
                VoiceImage image;
                for (const RecoveryEvent& event : image.load_image(path, folder, files_).events) {
                    trace_ << "final open of " << path << " told " << static_cast<int>(event.what) << ' '
                           << event.journal.generic_string() << '\n';
                    named.insert(event.journal.generic_string());
                }
                check_files();
            }
        }
        for (const auto& [name, journal] : journals()) {
            if (named.contains(name) || !files_.file(journal.file_path)) continue;
            fail("the journal " + name + " of " + journal.file_path + " is left with nobody told of it");
        }
    }

    std::uint64_t seed_;
    std::mt19937_64 random_;
    MemoryFiles files_;
    ByteString original_;
    std::map<std::string, Expected> expected_;
    std::map<int, std::pair<std::string, std::vector<ChangedRange>>> in_flight_;  // saves going on, by run
    bool verbose_ = std::getenv("TARNWICK_SIM_VERBOSE") != nullptr;
    // Runs asked to put a copy back, by run: the file, and what it held before.
    std::map<int, std::pair<std::string, ByteString>> recovering_;
    int copies_ = 0;
    int last_folder_ = 0;
    int rounds_done_ = 0;
    std::map<std::string, SaveJournal> seen_journals_;  // every journal that existed between two steps
    std::ostringstream trace_;
    std::string failure_;
};

double budget_seconds() {
    const char* text = std::getenv("TARNWICK_SIM_SECONDS");
    return text != nullptr ? std::atof(text) : 5.0;
}

TEST(RecoverySimulation, NoHistoryUndoesASaveLeavesATornFileOrReportsFalsely) {
    constexpr int kRounds = 12;
    if (const char* replay = std::getenv("TARNWICK_SIM_SEED")) {
        History history(std::strtoull(replay, nullptr, 10));
        const std::string failure = history.run(kRounds);
        std::cout << history.trace();
        EXPECT_EQ(failure, "");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t explored = 0;
    const char* first = std::getenv("TARNWICK_SIM_FIRST_SEED");
    for (std::uint64_t seed = first != nullptr ? std::strtoull(first, nullptr, 10) : 1;; ++seed) {
        History history(seed);
        const std::string failure = history.run(kRounds);
        ++explored;
        ASSERT_EQ(failure, "") << "seed " << seed << " (replay with TARNWICK_SIM_SEED=" << seed << ")\n" << history.trace();
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > budget_seconds()) break;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "explored " << explored << " histories in " << seconds << " s ("
              << static_cast<std::uint64_t>(static_cast<double>(explored) * 60.0 / seconds) << " per minute)\n";
}

}  // namespace
}  // namespace tarnwick
