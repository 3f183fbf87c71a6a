// Opening beside an arbitrary journal, on the in-memory file system. The
// input is a flag byte, a range count, the ranges (offset u16, length u8,
// whether the file holds the new bytes there), then the file's bytes; with
// flag bit 2 the rest is instead a journal's raw body, with flag bit 16 the
// journal is of the current version. Beside memory safety it checks that an
// open never writes into the file, a look writes nothing at all, a journal
// goes only once it is a record, a file is told half-way through a save only
// where it is, and putting it back (asked for) writes exactly that save's old
// bytes.
#include <cstdio>
#include <cstdlib>

#include "engine/journal_format.h"
#include "engine/memory_files.h"
#include "engine/recovery_rules.h"
#include "engine/save_history.h"
#include "engine/undo_patch.h"
#include "engine/voice_image.h"

namespace {

using namespace tarnwick;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
};

ByteString checksummed(ByteString body) {
    const std::uint64_t sum = journal_checksum(body);
    for (int i = 0; i < 8; ++i) body.push_back(static_cast<std::uint8_t>(sum >> (8 * i)));
    return body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    const std::uint8_t flags = in.byte();
    const int count = in.byte() % 8;
    struct Planned {
        std::size_t offset, length;
        bool new_there;
        std::uint8_t salt;
    };
    std::vector<Planned> planned;
    for (int i = 0; i < count; ++i) {
        const std::size_t offset = in.byte() | std::size_t{in.byte()} << 8;
        const std::size_t length = 1 + in.byte() % 32;
        const std::uint8_t how = in.byte();
        planned.push_back({offset, length, (how & 1) != 0, static_cast<std::uint8_t>(how | 1)});
    }
    const bool raw = (flags & 4) != 0;
    const ByteView rest(data + in.at, size - in.at);
    const ByteString before(raw ? ByteString(4096, 0x33) : ByteString(rest.begin(), rest.end()));

    // The file as an interrupted save may have left it, and its journal.
    const std::filesystem::path path = (flags & 1) ? "/device/voice.vpm" : "/device/other.vpm";
    SaveJournal journal;
    journal.version = (flags & 16) ? 3 : 2;
    journal.save.file_path = "/device/voice.vpm";
    journal.identity.size = static_cast<std::int64_t>(before.size());
    journal.save.token = 0x1234;
    journal.save.time_ns = 5;
    ByteString file = before;
    std::size_t end_of_last = 0;
    for (const Planned& p : planned) {
        if (p.offset < end_of_last || p.offset + p.length > before.size()) continue;
        ChangedRange range{static_cast<std::int64_t>(p.offset), {}, {}};
        range.old_bytes.assign(before.begin() + static_cast<std::ptrdiff_t>(p.offset),
                               before.begin() + static_cast<std::ptrdiff_t>(p.offset + p.length));
        range.new_bytes = range.old_bytes;
        for (std::uint8_t& b : range.new_bytes) b = static_cast<std::uint8_t>(b ^ p.salt);
        if (p.new_there) std::copy(range.new_bytes.begin(), range.new_bytes.end(), file.begin() + range.offset);
        journal.save.ranges.push_back(std::move(range));
        end_of_last = p.offset + p.length;
    }
    journal.save.before = (flags & 2) ? digest_of(before) : digest_of(file);
    ByteString journal_bytes;
    if (raw) {
        journal_bytes = {'T', 'T', 'S', 'J', 'R', 'N', 'L', static_cast<std::uint8_t>((flags & 16) ? '3' : '2')};
        journal_bytes.insert(journal_bytes.end(), rest.begin(), rest.end());
        journal_bytes = checksummed(std::move(journal_bytes));
    } else {
        journal_bytes = encode_journal(journal);
    }
    const std::optional<SaveJournal> decoded = decode_journal(journal_bytes);

    MemoryFiles files;
    files.put_file(path, file);
    files.put_folder("/home/journals");
    const std::string journal_path = "/home/journals/0123456789abcdef-0000000000001234-voice.vpm.journal";
    files.put_file(journal_path, journal_bytes);
    const RecoveryMode mode = (flags & 8) ? RecoveryMode::look_only : RecoveryMode::record;
    VoiceImage image;
    const LoadResult loaded = image.load_image(path, "/home/journals", files, mode);
    check(loaded.ok(), "the file is read");
    check(*files.file(path) == file, "an open never writes into the file");
    if (mode == RecoveryMode::look_only) {
        check(files.writes.empty() && files.file(journal_path).has_value(), "a look writes nothing anywhere");
    }
    // A journal goes only once it is a record of its save.
    if (!files.file(journal_path)) {
        bool recorded = false;
        // An older journal's token is the one in its name.
        const std::uint64_t token = decoded && decoded->version >= 3 ? decoded->save.token : 0x1234;
        for (const std::string& name : files.entries("/home/history")) {
            const std::optional<SaveRecord> record = decode_record(*files.file("/home/history/" + name));
            recorded = recorded || (record && record->token == token && decoded && record->ranges == decoded->save.ranges);
        }
        check(recorded, "a journal goes only once it is a record");
    }

    // Told half-way only where the file is: part of that save's bytes, and
    // with its old bytes back, what it began with.
    const SavesOfVoice saves = saves_of_voice(image, "/home/journals", files, loaded.pending);
    if (!saves.half_way) return 0;
    const SaveRecord& half_way = *saves.half_way;
    check(ranges_in(half_way.ranges, half_way.file_size, file) == RangeState::torn &&
              digest_with_old_bytes(file, half_way.ranges) == half_way.before,
          "a file told half-way through a save is");
    const std::size_t writes_before = files.writes.size();
    const UndoReport put_back =
        undo_last_patch(image, "/home/journals", files, false, UndoScope::half_way, loaded.pending);
    check(put_back.outcome == UndoOutcome::undone, "a half-way save is put back when asked");
    ByteString expected = file;
    for (const ChangedRange& r : half_way.ranges) {
        std::copy(r.old_bytes.begin(), r.old_bytes.end(), expected.begin() + r.offset);
    }
    check(*files.file(path) == expected, "putting back writes that save's old bytes and nothing else");
    for (std::size_t w = writes_before; w < files.writes.size(); ++w) {
        const MemoryFiles::Write& write = files.writes[w];
        if (write.path != path) continue;
        // Ranges side by side are written as one.
        for (std::int64_t at = write.offset; at < write.offset + static_cast<std::int64_t>(write.bytes.size()); ++at) {
            bool inside = false;
            for (const ChangedRange& r : half_way.ranges) {
                inside = inside || (at >= r.offset && at < r.offset + static_cast<std::int64_t>(r.old_bytes.size()));
            }
            check(inside, "every byte a put-back writes lies inside that save's ranges");
        }
    }
    check(ByteView(image.file_buf()).size() == expected.size() &&
              std::equal(expected.begin(), expected.end(), image.file_buf().begin()),
          "the image is what the file holds");
    return 0;
}
