// Saves, undos, put-backs, looks and opens of voice files interleaved call by
// call on the in-memory file system by a seeded scheduler, with crashes at any
// call, power losses that keep any subset of unflushed pages and names, a
// device that loses, tears or misplaces writes, and other programs that copy,
// remount, rename, link, replace and edit the files (inside and outside the
// ranges, their time moved or kept), reuse file numbers, and plant records.
// After every step the files, journals and histories are checked against what
// the runs reported and what the person asked for.
// TARNWICK_SIM_SECONDS bounds the time (5 s unless set) and
// TARNWICK_SIM_FIRST_SEED moves the seeds on; TARNWICK_SIM_SEED replays one
// history and prints its trace, with TARNWICK_SIM_VERBOSE as it goes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
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
#include "engine/save_history.h"
#include "engine/undo_patch.h"
#include "engine/voice_image.h"

namespace tarnwick {
namespace {

using Handle = FileSystemCalls::Handle;

struct Killed {};

// Hands the one turn to move among the runs of a round: a run waits at each
// of its file calls until the scheduler lets exactly it go on.
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

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<int> waiting_, done_, killed_;
    int turn_ = -1;
};

// What a faulty device makes of one write of a voice file.
enum class DeviceFault { none, lost, torn, misplaced };

// One run's view of the shared file system: every call waits for the run's
// turn first; once the run is dead, calls do nothing.
class RunCalls final : public FileSystemCalls {
public:
    struct Watch {
        // A write into a voice file, as the run meant it (before any fault).
        std::function<void(Handle, std::int64_t offset, std::size_t size)> voice_write;
        // A name removed or renamed away in a folder.
        std::function<void(const std::filesystem::path& entry)> name_gone;
        // Bytes a faulty device put where they were not meant to go.
        std::function<void(std::uint64_t node, std::int64_t offset, std::size_t size)> stray;
    };
    RunCalls(MemoryFiles& files, Baton& baton, int run, Watch watch)
        : files_(files), baton_(baton), run_(run), watch_(std::move(watch)) {}
    std::vector<Handle> handles;
    std::atomic<bool> dead = false;
    int voice_writes = 0;  // writes to anything this run did not create in a folder
    int changes = 0;       // calls that change a file or a folder: a look makes none
    std::optional<std::uint64_t> first_voice;  // the file number of the first regular file opened
    DeviceFault fault = DeviceFault::none;
    int fault_at = 0;  // the voice write, counted from 1, the fault hits

    std::filesystem::path resolved(const std::filesystem::path& path) override { return files_.resolved(path); }
    std::error_code open_for_reading(const std::filesystem::path& p, Handle& h, FileInfo& i) override {
        return opened(gate() ? gone() : files_.open_for_reading(p, h, i), h, i);
    }
    std::error_code open_for_update(const std::filesystem::path& p, Handle& h, FileInfo& i) override {
        return opened(gate() ? gone() : files_.open_for_update(p, h, i), h, i);
    }
    std::error_code describe(Handle h, FileInfo& i) override { return gate() ? gone() : files_.describe(h, i); }
    std::error_code read_at(Handle h, std::int64_t o, std::uint8_t* d, std::size_t s, std::size_t& g) override {
        return gate() ? gone() : files_.read_at(h, o, d, s, g);
    }
    std::error_code write_at(Handle h, std::int64_t o, const std::uint8_t* d, std::size_t s, std::size_t& w) override {
        if (gate()) return gone();
        ++changes;
        if (created_.contains(h)) return files_.write_at(h, o, d, s, w);
        ++voice_writes;
        watch_.voice_write(h, o, s);
        if (fault == DeviceFault::none || voice_writes != fault_at || s == 0) return files_.write_at(h, o, d, s, w);
        // The device says it wrote all of it.
        w = s;
        std::size_t ignored = 0;
        FileInfo info;
        files_.describe(h, info);
        switch (fault) {
            case DeviceFault::lost: return {};
            case DeviceFault::torn: return files_.write_at(h, o, d, s / 2, ignored);
            case DeviceFault::misplaced:
                watch_.stray(info.identity.file_index, o + 3, s);
                return files_.write_at(h, o + 3, d, s, ignored);
            case DeviceFault::none: break;
        }
        return {};
    }
    std::error_code flush(Handle h) override { return gate() ? gone() : files_.flush(h); }
    std::error_code read_uncached(Handle h, std::int64_t o, std::uint8_t* d, std::size_t s, std::size_t& g) override {
        return gate() ? gone() : files_.read_uncached(h, o, d, s, g);
    }
    std::error_code try_lock(Handle h) override { return gate() ? gone() : files_.try_lock(h); }
    std::error_code lock_held(Handle h, bool& held) override { return gate() ? gone() : files_.lock_held(h, held); }
    std::error_code close(Handle h) override { return dead ? gone() : files_.close(h); }
    std::error_code make_private_folder(const std::filesystem::path& f) override {
        if (gate()) return gone();
        ++changes;
        return files_.make_private_folder(f);
    }
    std::error_code open_folder(const std::filesystem::path& p, Folder& f, FileInfo& i) override {
        if (gate()) return gone();
        const std::error_code ec = files_.open_folder(p, f, i);
        if (!ec && f.handle != -1) handles.push_back(f.handle);
        return ec;
    }
    std::error_code list_folder(const Folder& f, std::vector<std::string>& n) override {
        return gate() ? gone() : files_.list_folder(f, n);
    }
    std::error_code open_in_folder(const Folder& f, const std::string& n, Handle& h, FileInfo& i) override {
        if (gate()) return gone();
        const std::error_code ec = files_.open_in_folder(f, n, h, i);
        if (!ec) handles.push_back(h);
        return ec;
    }
    std::error_code create_in_folder(const Folder& f, const std::string& n, Handle& h) override {
        if (gate()) return gone();
        ++changes;
        const std::error_code ec = files_.create_in_folder(f, n, h);
        if (!ec) {
            handles.push_back(h);
            created_.insert(h);
        }
        return ec;
    }
    std::error_code rename_in_folder(const Folder& f, const std::string& a, const std::string& b) override {
        if (gate()) return gone();
        ++changes;
        watch_.name_gone(f.path / a);
        return files_.rename_in_folder(f, a, b);
    }
    std::error_code remove_in_folder(const Folder& f, const std::string& n) override {
        if (gate()) return gone();
        ++changes;
        watch_.name_gone(f.path / n);
        return files_.remove_in_folder(f, n);
    }
    std::error_code flush_folder(const Folder& f) override { return gate() ? gone() : files_.flush_folder(f); }
    std::int64_t now_ns() override { return files_.now_ns(); }
    // One call that only waits for the run's turn: what another program does next happens in it.
    void turn() {
        if (gate()) throw Killed{};
    }

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
    std::error_code opened(std::error_code ec, const Handle& h, const FileInfo& info) {
        if (ec || h == -1) return ec;
        handles.push_back(h);
        if (info.is_regular && !first_voice) first_voice = info.identity.file_index;
        return ec;
    }
    MemoryFiles& files_;
    Baton& baton_;
    int run_;
    Watch watch_;
    std::set<Handle> created_;
};

constexpr std::size_t kVoiceSize = 12 * 1024;  // three pages
constexpr int kOptions = 8;
const char* const kFolders[2] = {"/home/me/.local/share/tts-tarnwick/journals",
                                 "/home/you/.local/share/tts-tarnwick/journals"};

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

std::string hex(const FileDigest& d) { return hex_text(d).substr(0, 8); }

// What the model holds of one voice file (by its number, whatever its names).
struct Expected {
    ByteString base;  // what the last save, undo or put-back reported done (or another program) left
    // Saves (by token) that may have left it torn: killed, not put back, or
    // going on. The file may hold any mix of their old and new bytes in their
    // ranges until the person saves it again.
    std::set<std::uint64_t> torn_by;
    // Bytes a faulty device put where they did not belong.
    std::set<std::int64_t> damaged;
};

// One save a run began, as its journal told it.
struct Save {
    int run = -1;
    std::string kind_of_run;
    int folder = 0;
    SaveJournal journal;
    std::uint64_t node = 0;
    int writes = 0;  // voice writes made while its journal existed
    std::optional<SaveStatus> outcome;
    bool accounted = false;        // its journal is gone
    bool proven_untouched = false;  // and nothing of it was in the file then
};

class History {
public:
    explicit History(std::uint64_t seed) : seed_(seed), random_(seed) {
        files_.track_durability();
        ByteString original(kVoiceSize);
        for (std::size_t i = 0; i < original.size(); ++i) original[i] = static_cast<std::uint8_t>((i * 131 + seed) >> 3);
        original_ = original;
        for (const char* path : {"/media/GARMIN/voice.vpm", "/home/me/backup.vpm"}) add_voice(path, original);
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
    std::uint64_t pick(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(random_); }

    void fail(const std::string& what) {
        if (failure_.empty()) failure_ = what;
    }

    std::filesystem::path history_of(int folder) const {
        return history_folder_beside(kFolders[folder]);
    }

    void add_voice(const std::string& path, ByteView bytes) {
        files_.put_file(path, bytes);
        paths_.insert(path);
        voices_[node_at(path)] = {ByteString(bytes.begin(), bytes.end()), {}, {}};
    }
    std::uint64_t node_at(const std::string& path) const {
        const std::optional<FileIdentity> identity = files_.identity_of(path);
        return identity ? identity->file_index : 0;
    }
    std::vector<std::string> voice_paths() {
        std::vector<std::string> alive;
        for (const std::string& path : paths_) {
            if (voices_.contains(node_at(path))) alive.push_back(path);
        }
        paths_ = {alive.begin(), alive.end()};
        return alive;
    }
    // A run's number in the whole history: runs of different rounds never share one.
    int serial(int run) const { return rounds_done_ * 10 + run; }
    std::string new_path(const std::string& stem) { return "/home/me/" + stem + std::to_string(++names_) + ".vpm"; }

    // Copies, remounts, reused numbers, hostile records and time passing,
    // while no run is going.
    void between_rounds() {
        files_.advance_clock(static_cast<std::int64_t>(pick(4)) * static_cast<std::int64_t>(pick(1'000'000'000'000)));
        const std::vector<std::string> paths = voice_paths();
        const std::string path = paths[pick(paths.size())];
        const ByteString bytes = *files_.file(path);
        switch (pick(8)) {
            case 0: {
                const std::string copy = new_path("copy");
                add_voice(copy, bytes);
                trace_ << "copy " << path << " to " << copy << '\n';
                break;
            }
            case 1: {
                // The device unplugged and mounted under another folder, or back:
                // a new file number, the same bytes and time.
                const std::string to = path.starts_with("/media/GARMIN/") ? "/media/GARMIN1/voice.vpm"
                                       : path.starts_with("/media/GARMIN1/") ? "/media/GARMIN/voice.vpm"
                                                                              : path;
                if (to == path || paths_.contains(to)) break;
                const Expected expected = voices_.at(node_at(path));
                files_.remount(path, to);
                paths_.erase(path);
                paths_.insert(to);
                voices_[node_at(to)] = expected;
                trace_ << "remount " << path << " at " << to << '\n';
                break;
            }
            case 2: {
                // A file deleted, and another made whose number is the deleted one's.
                if (paths.size() < 2) break;
                const std::string other = paths[pick(paths.size())];
                const ByteString others = *files_.file(other);
                const std::uint64_t node = node_at(path);
                const std::string made = new_path("reused");
                files_.reuse_identity(path, made, others);
                for (auto p = paths_.begin(); p != paths_.end();) p = node_at(*p) == node && *p != made ? paths_.erase(p) : std::next(p);
                paths_.insert(made);
                voices_[node] = {others, {}, {}};
                trace_ << "delete " << path << ", make " << made << " with its number and " << other << "'s bytes\n";
                break;
            }
            case 3: {
                // A record planted in a history, naming these bytes, that does not fit them.
                SaveRecord planted;
                planted.file_path = path;
                planted.time_ns = files_.now_ns() + 1'000'000'000'000;
                planted.options = {{1, "planted"}};
                planted.after = digest_of(bytes);
                planted.before = digest_of(original_);
                planted.file_size = static_cast<std::int64_t>(bytes.size());
                planted.ranges = {{300, {1, 2, 3}, {bytes[300], bytes[301], bytes[302]}}};
                planted.token = 0x5000 + pick(1000);
                planted.origin = planted.before;
                const int folder = static_cast<int>(pick(2));
                files_.put_file(history_of(folder) / record_name(planted), encode_record(planted));
                planted_[planted.token] = planted;
                trace_ << "plant a record of " << hex(planted.after) << " in history " << folder << '\n';
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
        bool as_is = false;
    };

    void one_round() {
        const int count = 1 + static_cast<int>(pick(3));
        std::vector<Run> runs;
        const std::vector<std::string> paths = voice_paths();
        for (int i = 0; i < count; ++i) {
            static const char* kKinds[] = {"apply", "apply", "apply", "undo",    "recover", "status",
                                           "open",  "edit",  "edit",  "replace", "rename",  "link"};
            // Two journal folders: another account or computer, any time apart.
            Run run{kKinds[pick(std::size(kKinds))], paths[pick(paths.size())], pick(4) == 0 ? 1 : 0, {}, pick(3) == 0};
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
            alive_.insert(serial(i));
            run_kinds_[serial(i)] = runs[static_cast<std::size_t>(i)].kind;
            RunCalls::Watch watch{[this, i](Handle h, std::int64_t offset, std::size_t size) { check_write(serial(i), h, offset, size); },
                                  [this, i](const std::filesystem::path& entry) { check_name_gone(serial(i), entry); },
                                  [this](std::uint64_t node, std::int64_t offset, std::size_t size) {
                                      for (std::size_t b = 0; b < size; ++b) {
                                          if (voices_.contains(node)) voices_[node].damaged.insert(offset + static_cast<std::int64_t>(b));
                                      }
                                  }};
            calls.push_back(std::make_unique<RunCalls>(files_, baton, i, std::move(watch)));
            const Run& run = runs[static_cast<std::size_t>(i)];
            if ((run.kind == "apply" || run.kind == "undo" || run.kind == "recover") && pick(5) == 0) {
                calls.back()->fault = static_cast<DeviceFault>(1 + pick(3));
                calls.back()->fault_at = 1 + static_cast<int>(pick(3));
            }
            trace_ << "run " << i << ": " << run.kind << ' ' << run.path << " folder " << run.folder << " options";
            for (int k : run.options) trace_ << ' ' << k + 1;
            if (calls.back()->fault != DeviceFault::none) {
                trace_ << " device fault " << static_cast<int>(calls.back()->fault) << " at write " << calls.back()->fault_at;
            }
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
                    perform(runs[static_cast<std::size_t>(i)], *calls[static_cast<std::size_t>(i)], serial(i));
                } catch (const Killed&) {
                }
                alive_.erase(serial(i));
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
                    after_crash(serial(r));
                }
                check_after_step(-1, true);
                continue;
            }
            const bool kill = roll < 20;
            if (kill) {
                trace_ << "kill run " << run << '\n';
                files_.close_all(calls[static_cast<std::size_t>(run)]->handles);
                calls[static_cast<std::size_t>(run)]->dead = true;
            }
            baton.give_turn(run, kill);
            if (kill) after_crash(serial(run));
            check_after_step(serial(run), false);
            if (verbose_) {
                std::cerr << trace_.str();
                trace_.str("");
            }
        }
        for (std::thread& t : threads) t.join();
        ++rounds_done_;
        check_after_step(-1, false);
    }

    // What one run does, as the command line and the window do it.
    void perform(const Run& run, RunCalls& calls, int id) {
        const std::string folder = kFolders[run.folder];
        if (run.kind == "edit" || run.kind == "replace" || run.kind == "rename" || run.kind == "link") {
            calls.turn();
            other_program(run);
            return;
        }
        VoiceImage image;
        const bool looking = run.kind == "status";
        const LoadResult loaded =
            image.load_image(run.path, folder, calls, looking ? RecoveryMode::look_only : RecoveryMode::record);
        if (calls.voice_writes != 0) fail("opening wrote to a voice");
        if (looking && calls.changes != 0) fail("looking changed a file or folder");
        if (!loaded.ok() || !calls.first_voice) return;
        const std::uint64_t node = *calls.first_voice;
        open_nodes_[id] = node;
        const ByteString opened(image.file_buf().begin(), image.file_buf().end());
        const int generation = generation_;
        const SavesOfVoice saves = saves_of_voice(image, folder, calls, loaded.pending);
        if (looking && calls.changes != 0) fail("looking changed a file or folder");
        check_half_way(run, saves, opened, generation);
        trace_ << "  run " << id << " read " << hex(digest_of(opened)) << " of file " << node << (saves.half_way ? " (half-way)" : "")
               << (saves.last_save() ? " (saved by a record)" : "") << '\n';

        if (run.kind == "apply") {
            // The command line patches a half-written file only when told to.
            if (saves.half_way && !run.as_is) return;
            EditLog edits(image);
            SaveIntent intent;
            for (int k : run.options) {
                const ChangedRange range = option_range(k, original_);
                image.put_str(static_cast<std::int32_t>(range.offset), range.new_bytes);
                intent.options.push_back({k + 1, "option"});
            }
            const std::vector<ChangedRange> changes = edits.changed_ranges();
            if (changes.empty()) return;
            const int writes_before = calls.voice_writes;
            const SaveResult saved = image.save_image(changes, folder, calls, intent);
            trace_ << "  run " << id << " save " << static_cast<int>(saved.status) << " now file " << node_at(run.path) << '\n';
            reported(id, node, saved.status, ByteString(image.file_buf().begin(), image.file_buf().end()), opened,
                     calls.voice_writes != writes_before);
            edits.undo();
            return;
        }
        if (run.kind == "undo" || run.kind == "recover") {
            const int writes_before = calls.voice_writes;
            const UndoReport report = undo_last_patch(image, folder, calls, false,
                                                      run.kind == "undo" ? UndoScope::last_save : UndoScope::half_way,
                                                      loaded.pending);
            trace_ << "  run " << id << " undo " << static_cast<int>(report.outcome) << '\n';
            check_undo(run, id, node, report, opened, saves, calls.voice_writes != writes_before);
        }
    }

    // Another program acts on the files in one step of its own.
    void other_program(const Run& run) {
        const std::uint64_t node = node_at(run.path);
        if (!voices_.contains(node)) return;
        Expected& expected = voices_[node];
        ++generation_;
        if (run.kind == "edit") {
            // A byte inside an option's range, or outside every one; the file's
            // time moved, or kept as some programs and drivers keep it.
            const bool inside = pick(2) == 0;
            const std::int64_t at = inside ? option_range(static_cast<int>(pick(kOptions)), original_).offset + 1
                                           : 3000 + static_cast<std::int64_t>(pick(900));
            ByteString bytes = *files_.file(run.path);
            const std::uint8_t value = static_cast<std::uint8_t>(bytes[static_cast<std::size_t>(at)] ^ 0x5A);
            const bool keep_time = pick(2) == 0;
            files_.overwrite(run.path, at, ByteString{value}, keep_time);
            expected.base[static_cast<std::size_t>(at)] = value;
            trace_ << "  edit " << run.path << " at " << at << (keep_time ? ", time kept" : "") << '\n';
        } else if (run.kind == "replace") {
            // A copy put in its place: a new file under the same name.
            const std::vector<std::string> paths = voice_paths();
            const std::string source = paths[pick(paths.size())];
            const ByteString bytes = *files_.file(source);
            files_.remove_entry(run.path);
            add_voice(run.path, bytes);
            trace_ << "  replace " << run.path << " with a copy of " << source << '\n';
        } else if (run.kind == "rename") {
            const std::string to = new_path("renamed");
            files_.rename_entry(run.path, to);
            paths_.erase(run.path);
            paths_.insert(to);
            trace_ << "  rename " << run.path << " to " << to << '\n';
        } else {
            const std::string to = new_path("linked");
            files_.put_hard_link(run.path, to);
            paths_.insert(to);
            trace_ << "  link " << run.path << " as " << to << '\n';
        }
    }

    Save* save_of_run(int run) {
        const auto found = flying_.find(run);
        return found == flying_.end() ? nullptr : &ledger_.at(found->second);
    }

    // What a save reported, against what the file holds.
    void reported(int run, std::uint64_t node, SaveStatus status, const ByteString& image, const ByteString& opened,
                  bool wrote) {
        Save* save = save_of_run(run);
        flying_.erase(run);
        if (save != nullptr) save->outcome = status;
        const std::optional<ByteString> now = bytes_of(node);
        Expected& expected = voices_[node];
        switch (status) {
            case SaveStatus::saved:
                if (now != image) fail("a save reported done is not in the file it opened");
                if (save == nullptr) fail("a save reported done without a journal");
                expected = {image, {}, {}};
                break;
            case SaveStatus::rolled_back:
                if (now != opened) fail("a save reported put back left other bytes");
                if (save != nullptr) expected.torn_by.erase(save->journal.save.token);
                break;
            case SaveStatus::refused:
                if (wrote) fail("a save reported refused wrote to the file");
                break;
            case SaveStatus::not_put_back:  // left torn
                if (save != nullptr) expected.torn_by.insert(save->journal.save.token);
                break;
        }
    }

    // An undo or put-back: what it took back is a save this program recorded
    // and the newest that made these bytes, and the file now is what that save began with.
    void check_undo(const Run& run, int id, std::uint64_t node, const UndoReport& report, const ByteString& opened,
                    const SavesOfVoice& saves, bool wrote) {
        const FileDigest was = digest_of(opened);
        if (report.outcome != UndoOutcome::undone) {
            Save* save = save_of_run(id);
            flying_.erase(id);
            // A save that failed may have left it torn, or put it back.
            if (save != nullptr && wrote) voices_[node].torn_by.insert(save->journal.save.token);
            if (wrote && report.outcome != UndoOutcome::refused) fail("an undo that did nothing wrote to the file");
            // Nothing found while a recorded save of this program made these bytes.
            if (report.outcome == UndoOutcome::nothing_to_undo && run.kind == "undo") {
                if (const Save* made = newest_patch_making(was, run.folder, opened)) {
                    if (!newest_planted_making(was, run.folder, made->journal.save.time_ns)) {
                        fail("an undo found nothing to take back where a recorded save made these bytes");
                    }
                }
            }
            if (report.outcome == UndoOutcome::refused && !report.messages.empty() &&
                report.messages[0].text.find("does not fit it") != std::string::npos) {
                const Save* made = newest_patch_making(was, run.folder, opened);
                if (made != nullptr && !newest_planted_making(was, run.folder, made->journal.save.time_ns)) {
                    fail("an undo refused a record that fits the file");
                }
            }
            return;
        }
        if (!report.taken_back) {
            fail("an undo reported done without the save it took back");
            return;
        }
        const SaveRecord& taken = *report.taken_back;
        const std::optional<ByteString> now = bytes_of(node);
        if (!now || digest_of(*now) != taken.before) fail("an undo reported done left other bytes than its save began with");
        if (taken.after != was && !saves.half_way) fail("an undo took back a save that did not make these bytes");
        const auto known = ledger_.find(taken.token);
        if (planted_.contains(taken.token) || known == ledger_.end()) {
            fail("an undo took back a record no save of this program made");
        } else if (known->second.journal.save.kind != taken.kind) {
            fail("an undo took back a record whose kind is not its save's");
        } else if (taken.kind == SaveRecord::Kind::undo) {
            fail("an undo took back an undo");
        } else if (taken.kind == SaveRecord::Kind::patch && !saves.half_way) {
            const Save* newest = newest_patch_making(was, run.folder, opened);
            if (newest != nullptr && newest->journal.save.token != taken.token) fail("an undo took back an older save than the newest");
        }
        Save* save = save_of_run(id);
        flying_.erase(id);
        if (save != nullptr) save->outcome = SaveStatus::saved;
        voices_[node] = {*now, {}, {}};
    }

    // The newest save of this program, recorded in `folder`'s history, that
    // made `digest` from bytes it fits in `bytes`.
    const Save* newest_patch_making(const FileDigest& digest, int folder, const ByteString& bytes) const {
        const Save* newest = nullptr;
        for (const auto& [token, save] : ledger_) {
            const SaveJournal& j = save.journal;
            if (save.folder != folder || j.save.kind != SaveRecord::Kind::patch || j.save.after != digest) continue;
            if (!record_exists(folder, token)) continue;
            if (ranges_in(j.save.ranges, j.identity.size, bytes) != RangeState::all_new) continue;
            if (digest_with_old_bytes(bytes, j.save.ranges) != j.save.before) continue;
            if (newest == nullptr || j.save.time_ns > newest->journal.save.time_ns) newest = &save;
        }
        return newest;
    }
    bool newest_planted_making(const FileDigest& digest, int folder, std::int64_t than) const {
        for (const auto& [token, planted] : planted_) {
            if (planted.after == digest && planted.time_ns > than &&
                files_.file(history_of(folder) / record_name(planted))) {
                return true;
            }
        }
        return false;
    }

    std::vector<SaveRecord> records_in(int folder) const {
        std::vector<SaveRecord> found;
        for (const std::string& name : files_.entries(history_of(folder))) {
            if (name.find(".partial-") != std::string::npos) continue;
            const std::optional<ByteString> bytes = files_.file(history_of(folder) / name);
            if (!bytes) continue;
            if (std::optional<SaveRecord> record = decode_record(*bytes)) found.push_back(std::move(*record));
        }
        return found;
    }
    bool record_exists(int folder, std::uint64_t token, std::optional<SaveRecord::State> state = std::nullopt) const {
        for (const SaveRecord& record : records_in(folder)) {
            if (record.token == token && (!state || record.state == *state)) return true;
        }
        return false;
    }

    // What a run was told of a half-way save is true, and where the history
    // knows a save the file looks cut off half-way through, it is told.
    void check_half_way(const Run& run, const SavesOfVoice& saves, const ByteString& bytes, int generation) {
        if (saves.half_way) {
            const SaveRecord& h = *saves.half_way;
            if (ranges_in(h.ranges, h.file_size, bytes) != RangeState::torn ||
                digest_with_old_bytes(bytes, h.ranges) != h.before) {
                fail("a file was told half-way through a save it is not half-way through");
            }
        }
        // Only where nothing changed in the files meanwhile, so that what
        // the run read is what the history is compared with.
        if (generation != generation_ || saves.half_way) return;
        const FileDigest digest = digest_of(bytes);
        const std::vector<SaveRecord> records = records_in(run.folder);
        if (std::any_of(records.begin(), records.end(), [&](const SaveRecord& r) { return r.after == digest; })) return;
        for (const auto& [token, save] : ledger_) {
            const SaveJournal& j = save.journal;
            // Only a save cut off is one a file can be half-way through.
            if (save.folder != run.folder || save.writes == 0 || alive_.contains(save.run)) continue;
            if (save.outcome == SaveStatus::saved || save.outcome == SaveStatus::rolled_back) continue;
            // A save that recorded itself finished is none a file is half-way through.
            const bool journal_left = files_.file(journal_path_[token]) && !record_exists(run.folder, token, SaveRecord::State::finished);
            if (!journal_left && !record_exists(run.folder, token, SaveRecord::State::interrupted)) continue;
            if (ranges_in(j.save.ranges, j.identity.size, bytes) == RangeState::torn && digest_with_old_bytes(bytes, j.save.ranges) == j.save.before) {
                fail("a file half-way through a recorded save was not told so (" + token_text(token) + " of run " +
                     std::to_string(save.run) + ", " + run.kind + " of " + run.path + " read " + hex(digest) + ")");
                return;
            }
        }
    }

    std::optional<ByteString> bytes_of(std::uint64_t node) const { return files_.file_numbered(node); }

    // Every write to a voice file is its run's own save, inside that save's
    // ranges, while its journal exists.
    void check_write(int run, Handle, std::int64_t offset, std::size_t size) {
        Save* save = save_of_run(run);
        if (save == nullptr) {
            fail("a write to a voice file by a run with no journal");
            return;
        }
        ++save->writes;
        const std::int64_t end = offset + static_cast<std::int64_t>(size);
        const bool inside = std::any_of(save->journal.save.ranges.begin(), save->journal.save.ranges.end(), [&](const ChangedRange& r) {
            return offset >= r.offset && end <= r.offset + static_cast<std::int64_t>(r.old_bytes.size());
        });
        if (!inside) fail("a write to a voice file outside its save's ranges");
        if (!files_.file(journal_path_[save->journal.save.token])) fail("a write to a voice file while its save's journal is gone");
    }

    // A journal is touched only by its own save while that save runs.
    void check_name_gone(int run, const std::filesystem::path& entry) {
        const auto made = made_by_.find(entry.generic_string());
        if (made == made_by_.end() || made->second == run) return;
        if (alive_.contains(made->second) && !dead_.contains(made->second)) fail("a running save's journal was touched by another run");
    }

    // A run died, or all did: the save it was making may be left torn.
    void after_crash(int run) {
        dead_.insert(run);
        if (Save* save = save_of_run(run)) {
            if (voices_.contains(save->node)) voices_[save->node].torn_by.insert(save->journal.save.token);
        }
        flying_.erase(run);
    }

    // Journals that appeared or went, and every file against the model.
    void check_after_step(int mover, bool power_lost) {
        std::set<std::string> now;
        for (int folder = 0; folder < 2; ++folder) {
            for (const std::string& name : files_.entries(kFolders[folder])) {
                const std::string path = std::string(kFolders[folder]) + "/" + name;
                now.insert(path);
                if (known_journals_.contains(path)) continue;
                if (mover >= 0) made_by_[path] = mover;
                if (!name.ends_with(".journal")) continue;
                const std::optional<ByteString> bytes = files_.file(path);
                const std::optional<SaveJournal> journal = bytes ? decode_journal(*bytes) : std::nullopt;
                if (!journal) continue;
                if (!ledger_.contains(journal->save.token)) {
                    if (mover < 0) continue;
                    Save save;
                    save.run = mover;
                    save.folder = folder;
                    save.journal = *journal;
                    save.node = open_nodes_.contains(mover) ? open_nodes_[mover] : 0;
                    ledger_[journal->save.token] = save;
                    journal_path_[journal->save.token] = path;
                    flying_[mover] = journal->save.token;
                    ++generation_;
                    trace_ << "  run " << mover << " journal " << token_text(journal->save.token) << " kind "
                           << static_cast<int>(journal->save.kind) << '\n';
                    // The save's own kind, never another's.
                    const std::string& kind = run_kinds_[mover];
                    const bool right = kind == "apply"    ? journal->save.kind == SaveRecord::Kind::patch
                                       : kind == "recover" ? journal->save.kind == SaveRecord::Kind::put_back
                                                           : journal->save.kind != SaveRecord::Kind::patch;
                    if (!right) fail("a " + kind + " wrote a journal of another kind");
                } else if (power_lost && ledger_[journal->save.token].outcome == SaveStatus::saved) {
                    fail("a finished save's journal came back after a power loss");
                }
            }
        }
        for (const std::string& path : known_journals_) {
            if (now.contains(path) || !path.ends_with(".journal")) continue;
            for (auto& [token, save] : ledger_) {
                if (journal_path_[token] != path || save.accounted) continue;
                save.accounted = true;
                ++generation_;
                // Gone: a record of it is in the history, or nothing of it reached the file.
                const std::optional<ByteString> file = bytes_of(save.node);
                const bool untouched = save.writes == 0 || (file && digest_of(*file) == save.journal.save.before);
                save.proven_untouched = untouched;
                trace_ << "  journal " << token_text(token) << " gone" << (untouched ? ", nothing of it in the file" : "")
                       << (record_exists(save.folder, token) ? ", recorded" : "") << '\n';
                if (!untouched && !record_exists(save.folder, token)) {
                    fail("a journal went without leaving a record of its save");
                }
            }
        }
        known_journals_ = std::move(now);
        // Records tell their saves as the journals did.
        for (int folder = 0; folder < 2; ++folder) {
            for (const SaveRecord& record : records_in(folder)) {
                const auto save = ledger_.find(record.token);
                if (save == ledger_.end()) continue;
                const SaveJournal& j = save->second.journal;
                if (record.kind != j.save.kind || record.before != j.save.before || record.after != j.save.after || record.ranges != j.save.ranges) {
                    fail("a record tells its save otherwise than its journal");
                }
            }
        }
        check_files();
    }

    // Each file holds what the model says, or, where a save is going on or
    // was left torn, a mix of that save's old and new bytes in its ranges.
    void check_files() {
        for (auto& [node, expected] : voices_) {
            const std::optional<ByteString> now = bytes_of(node);
            if (!now) continue;
            std::map<std::size_t, std::set<std::uint8_t>> inside;
            const auto allow = [&](const SaveJournal& j) {
                for (const ChangedRange& r : j.save.ranges) {
                    for (std::size_t i = 0; i < r.old_bytes.size(); ++i) {
                        auto& bytes = inside[static_cast<std::size_t>(r.offset) + i];
                        bytes.insert(r.old_bytes[i]);
                        bytes.insert(r.new_bytes[i]);
                    }
                }
            };
            for (const std::uint64_t token : expected.torn_by) allow(ledger_.at(token).journal);
            for (const auto& [run, token] : flying_) {
                if (ledger_.at(token).node == node) allow(ledger_.at(token).journal);
            }
            if (now->size() != expected.base.size()) {
                fail("a voice changed its size");
                return;
            }
            for (std::size_t i = 0; i < now->size(); ++i) {
                if ((*now)[i] == expected.base[i] || expected.damaged.contains(static_cast<std::int64_t>(i))) continue;
                const auto mix = inside.find(i);
                if (mix == inside.end() || !mix->second.contains((*now)[i])) {
                    fail("a voice holds byte " + std::to_string(i) + " that nobody asked for (" + std::to_string((*now)[i]) +
                         " for " + std::to_string(expected.base[i]) + ")");
                    return;
                }
            }
        }
    }

    // Once every run is over, an open of each file under each folder makes
    // every journal a record: none is left, and every save that wrote is in
    // its history.
    void final_check() {
        repeat_journal_tokens(seed_);
        for (const std::string& path : voice_paths()) {
            for (const char* folder : kFolders) {
                VoiceImage image;
                image.load_image(path, folder, files_);
            }
        }
        check_after_step(-1, false);
        for (const char* folder : kFolders) {
            for (const std::string& name : files_.entries(folder)) {
                if (name.ends_with(".journal")) fail("the journal " + name + " is left after every file was opened");
            }
        }
        for (const auto& [token, save] : ledger_) {
            if (save.writes == 0 || save.outcome == SaveStatus::rolled_back || save.proven_untouched) continue;
            if (!record_exists(save.folder, token)) {
                fail("a save that wrote to a voice left no record (" + token_text(token) + " of run " + std::to_string(save.run) + ")");
            }
        }
    }

    std::uint64_t seed_;
    std::mt19937_64 random_;
    MemoryFiles files_;
    ByteString original_;
    std::set<std::string> paths_;
    std::map<std::uint64_t, Expected> voices_;
    std::map<std::uint64_t, Save> ledger_;             // every save begun, by token
    std::map<std::uint64_t, std::string> journal_path_;
    std::map<int, std::uint64_t> flying_;               // run, the token of its save going on
    std::map<std::string, int> made_by_;                // journal files, the run that made them
    std::map<int, std::uint64_t> open_nodes_;
    std::map<int, std::string> run_kinds_;
    std::map<std::uint64_t, SaveRecord> planted_;
    std::set<std::string> known_journals_;
    std::set<int> alive_, dead_;  // runs by serial
    int generation_ = 0;  // moves on whenever a journal, a record or another program changes what a look finds
    bool verbose_ = std::getenv("TARNWICK_SIM_VERBOSE") != nullptr;
    int names_ = 0;
    int rounds_done_ = 0;
    std::ostringstream trace_;
    std::string failure_;
};

double budget_seconds() {
    const char* text = std::getenv("TARNWICK_SIM_SECONDS");
    return text != nullptr ? std::atof(text) : 5.0;
}

TEST(RecoverySimulation, NoRunWritesWhatThePersonDidNotAskForOrLosesASave) {
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
