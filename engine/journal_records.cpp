#include "engine/journal_records.h"

namespace tarnwick {
namespace {

// Whether an older journal is the save of `file`: some of its new bytes are
// there, and with its old bytes put back the file is what that save began with.
bool proves(const SaveJournal& journal, ByteView file) {
    const RangeState state = ranges_in(journal.save.ranges, journal.identity.size, file);
    return (state == RangeState::all_new || state == RangeState::torn) &&
           digest_with_old_bytes(file, journal.save.ranges) == journal.save.before;
}

// The record an older journal makes where `file` proves it: its options were
// not kept, its time is the journal file's, its token the one in its name.
SaveRecord record_of_older(const JournalEntry& entry, ByteView file) {
    SaveJournal journal = *entry.journal;
    std::vector<ChangedRange> swapped = journal.save.ranges;
    for (ChangedRange& range : swapped) std::swap(range.old_bytes, range.new_bytes);
    journal.save.after = digest_with_old_bytes(file, swapped);
    journal.save.time_ns = entry.written_ns;
    journal.save.token = token_in_name(entry.name);
    return record_of(journal, SaveRecord::State::interrupted);
}

}  // namespace

RetiredJournals retire_journals(JournalFolder& journals, SaveHistory& history, bool look_only, ByteView file,
                                const std::filesystem::path& locked_path) {
    RetiredJournals out;
    const std::string own_prefix = locked_path.empty() ? std::string() : path_hash(locked_path) + '-';
    for (JournalEntry& entry : journals.scan()) {
        JournalFound found = entry.found;
        found.own_file = !own_prefix.empty() && entry.name.starts_with(own_prefix);
        if (entry.journal && entry.journal->version == 2) found.proven = proves(*entry.journal, file);
        const std::filesystem::path where = journals.path_of(entry.name);
        switch (decide_journal(found).action) {
            case JournalAction::pass_by: break;
            case JournalAction::leave_alone:
                out.events.push_back({RecoveryEvent::What::not_a_journal, where, entry.problem, {}, 0});
                break;
            case JournalAction::remove:
                if (!look_only) journals.remove(entry.name);
                break;
            case JournalAction::record: {
                SaveRecord record = entry.journal->version >= 3
                                        ? record_of(*entry.journal, SaveRecord::State::interrupted)
                                        : record_of_older(entry, file);
                // Its save recorded itself and died before removing it.
                const bool recorded = history.has_finished(record.token, record.after);
                if (look_only) {
                    if (!recorded) out.pending.push_back(std::move(record));
                    break;
                }
                if (!recorded) {
                    if (Problem problem = history.add(record)) {
                        out.events.push_back({RecoveryEvent::What::not_recorded, where, std::move(problem),
                                              record.file_path, record.time_ns});
                        out.pending.push_back(std::move(record));
                        break;
                    }
                }
                journals.remove(entry.name);
                break;
            }
        }
    }
    return out;
}

}  // namespace tarnwick
