// Recovery with an arbitrary journal beside an arbitrary file, on the
// in-memory file system. The input is a flag byte, a range count, the ranges
// (offset u16, length u8, whether the file holds the new bytes there), then
// the file's bytes; with flag bit 2 the rest is instead a journal's raw body.
// Beside memory safety it checks that recovery never writes outside the
// journal's ranges, never writes when the digest does not match, and leaves
// a file it applies to exactly as it was before that save.
#include <cstdio>
#include <cstdlib>

#include "engine/journal_format.h"
#include "engine/memory_files.h"
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
    SaveJournal journal{2, "/device/voice.vpm", {}, {}, {}};
    journal.identity.size = static_cast<std::int64_t>(before.size());
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
        journal.ranges.push_back(std::move(range));
        end_of_last = p.offset + p.length;
    }
    journal.digest = (flags & 2) ? digest_of(before) : digest_of(file);
    ByteString journal_bytes;
    if (raw) {
        journal_bytes = {'T', 'T', 'S', 'J', 'R', 'N', 'L', '2'};
        journal_bytes.insert(journal_bytes.end(), rest.begin(), rest.end());
        journal_bytes = checksummed(std::move(journal_bytes));
    } else {
        journal_bytes = encode_journal(journal);
    }
    const std::optional<SaveJournal> decoded = decode_journal(journal_bytes);

    MemoryFiles files;
    files.put_file(path, file);
    files.put_folder("/home/journals");
    files.put_file("/home/journals/0123456789abcdef-0000000000000000-voice.vpm.journal", journal_bytes);
    const RecoveryMode mode = (flags & 8) ? RecoveryMode::look_only : RecoveryMode::record;
    VoiceImage image;
    const LoadResult loaded = image.load_image(path, "/home/journals", files, mode);
    check(loaded.ok(), "the file is read");

    const auto applies = [&] {
        if (!decoded || decoded->identity.size != static_cast<std::int64_t>(file.size())) return false;
        for (const ChangedRange& r : decoded->ranges) {
            for (std::size_t i = 0; i < r.old_bytes.size(); ++i) {
                const std::uint8_t b = file[static_cast<std::size_t>(r.offset) + i];
                if (b != r.old_bytes[i] && b != r.new_bytes[i]) return false;
            }
        }
        return digest_with_old_bytes(file, decoded->ranges) == decoded->digest;
    }();
    // A put-back first writes its journal anew; nothing else is written but the voice.
    std::vector<MemoryFiles::Write> voice_writes;
    for (const MemoryFiles::Write& write : files.writes) {
        if (write.path.parent_path() != "/home/journals") voice_writes.push_back(write);
    }
    if (path != "/device/voice.vpm") check(voice_writes.empty(), "another file's journal never writes by itself");
    for (const MemoryFiles::Write& write : voice_writes) {
        check(write.path == path, "only the voice file is written");
        check(mode == RecoveryMode::record, "looking writes nothing");
        check(applies, "nothing is written where the journal does not apply");
        bool inside = false;
        for (const ChangedRange& r : decoded->ranges) {
            inside = inside || (write.offset >= r.offset &&
                                write.offset + static_cast<std::int64_t>(write.bytes.size()) <=
                                    r.offset + static_cast<std::int64_t>(r.old_bytes.size()));
        }
        check(inside, "every write lies inside one of the journal's ranges");
    }
    const ByteString now = *files.file(path);
    if (!voice_writes.empty()) {
        ByteString put_back = file;
        for (const ChangedRange& r : decoded->ranges) {
            std::copy(r.old_bytes.begin(), r.old_bytes.end(), put_back.begin() + r.offset);
        }
        check(now == put_back, "a file put back holds the journal's old bytes and nothing else changed");
    } else {
        check(now == file, "an untouched file is unchanged");
    }
    check(ByteView(image.file_buf()).size() == now.size() &&
              std::equal(now.begin(), now.end(), image.file_buf().begin()),
          "the image is what the file holds");
    return 0;
}
