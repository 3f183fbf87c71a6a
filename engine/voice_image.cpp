#include "engine/voice_image.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>


namespace tarnwick {
namespace {

// Lowest position of `needle` in `haystack`, or npos. The C library's memmem
// (glibc's, and the browser build's musl) is a two-way search that runs at
// memory speed; elsewhere the standard searcher keeps the same result.
std::size_t search(ByteView haystack, ByteView needle) {
    constexpr std::size_t npos = static_cast<std::size_t>(-1);
    if (needle.size() > haystack.size()) return npos;
    if (needle.empty()) return 0;  // and memmem must not see a null needle
#if defined(__GLIBC__) || defined(__EMSCRIPTEN__)
    const void* hit = ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size());
    if (hit == nullptr) return npos;
    return static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - haystack.data());
#else
    const auto hit = std::search(haystack.begin(), haystack.end(),
                                 std::boyer_moore_horspool_searcher(needle.begin(), needle.end()));
    return hit == haystack.end() ? npos : static_cast<std::size_t>(hit - haystack.begin());
#endif
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

LoadResult VoiceImage::load_image(const std::filesystem::path& path, const std::filesystem::path& journal_folder,
                                  FileSystemCalls& calls, RecoveryMode mode) {
    VoiceFileRead read = read_voice_file(path, journal_folder, mode, kMaxImageLength, calls);
    if (read.ok()) {
        detach_log();
        file_buf_ = std::move(read.bytes);
        file_path_ = path;
        identity_ = read.identity;
        bytes_changed();
    }
    return std::move(static_cast<LoadResult&>(read));
}

FileDigest VoiceImage::digest() const {
    if (!digest_) digest_ = digest_of(file_buf_);
    return *digest_;
}

const std::vector<std::int64_t>& VoiceImage::first_starts(const MultiSearch& search, std::int64_t from,
                                                          std::int64_t last_start) const {
    if (pass_.search != search.serial() || pass_.from != from || pass_.last_start != last_start) {
        search.first_starts(file_buf_, from, last_start, pass_.first);
        pass_.search = search.serial();
        pass_.from = from;
        pass_.last_start = last_start;
    }
    return pass_.first;
}

void VoiceImage::bytes_changed() {
    digest_.reset();
    pass_.search = 0;
}

SaveResult VoiceImage::save_image(std::span<const ChangedRange> changes, const std::filesystem::path& journal_folder,
                                  FileSystemCalls& calls, const SaveIntent& intent) {
    if (file_path_.empty() || !identity_) {
        return {SaveStatus::refused, Problem::of_kind(FileProblem::no_file_open), {}, false, {}, {}, {}};
    }
    if (changes.empty()) return {SaveStatus::saved, {}, *identity_, true, digest(), {}, {}};
    const FileDigest before = intent.before ? *intent.before : digest_with_old_bytes(file_buf_, changes);
    SaveResult result = write_in_place(file_path_, *identity_, file_buf_, changes, before, digest(), intent,
                                       journal_folder, calls);
    if (result.identity_known) identity_ = result.identity;
    return result;
}

bool VoiceImage::fits_inside(std::int32_t offset, std::size_t length) const {
    if (offset < 0) return false;
    const auto start = static_cast<std::size_t>(offset);
    return start <= file_buf_.size() && length <= file_buf_.size() - start;
}

bool VoiceImage::match_at(std::int32_t offset, ByteView pattern) const {
    if (!fits_inside(offset, pattern.size())) return false;
    return pattern.empty() ||
           std::memcmp(file_buf_.data() + offset, pattern.data(), pattern.size()) == 0;
}

std::int32_t VoiceImage::find_str(std::int32_t first, std::int32_t bound, ByteView pattern) const {
    // 64-bit arithmetic: bound + 1 must not overflow when bound is INT32_MAX.
    const std::int64_t last_tested = std::max<std::int64_t>(first, std::int64_t{bound} + 1);
    const std::int64_t lowest = std::max<std::int64_t>(first, 0);
    const std::int64_t room = std::int64_t{file_len()} - static_cast<std::int64_t>(pattern.size());
    const std::int64_t highest = std::min(last_tested, room);
    if (room < 0 || lowest > highest) return 0;
    const auto from = static_cast<std::size_t>(lowest);
    const auto window = static_cast<std::size_t>(highest - lowest) + pattern.size();
    const std::size_t hit = search(ByteView(file_buf_).subspan(from, window), pattern);
    if (hit == static_cast<std::size_t>(-1)) return 0;
    return static_cast<std::int32_t>(from + hit);
}

bool VoiceImage::put_str(std::int32_t offset, ByteView bytes) {
    if (!fits_inside(offset, bytes.size())) return false;
    const auto start = static_cast<std::size_t>(offset);
    if (edits_ != nullptr) {
        const auto from = file_buf_.begin() + static_cast<std::ptrdiff_t>(start);
        edits_->writes_.push_back({offset, ByteString(from, from + static_cast<std::ptrdiff_t>(bytes.size()))});
    }
    std::copy(bytes.begin(), bytes.end(), file_buf_.begin() + static_cast<std::ptrdiff_t>(start));
    bytes_changed();
    return true;
}

VoiceImage::VoiceImage(VoiceImage&& other) noexcept
    : file_buf_(std::move(other.file_buf_)),
      file_path_(std::move(other.file_path_)),
      identity_(std::move(other.identity_)),
      digest_(std::exchange(other.digest_, std::nullopt)),
      pass_(std::exchange(other.pass_, {})) {
    take_log_of(other);
}

VoiceImage& VoiceImage::operator=(VoiceImage&& other) noexcept {
    if (this == &other) return *this;
    detach_log();
    file_buf_ = std::move(other.file_buf_);
    file_path_ = std::move(other.file_path_);
    identity_ = std::move(other.identity_);
    digest_ = std::exchange(other.digest_, std::nullopt);
    pass_ = std::exchange(other.pass_, {});
    take_log_of(other);
    return *this;
}

VoiceImage::~VoiceImage() { detach_log(); }

void VoiceImage::take_log_of(VoiceImage& other) {
    edits_ = std::exchange(other.edits_, nullptr);
    if (edits_ != nullptr) edits_->image_ = this;
}

void VoiceImage::detach_log() {
    if (edits_ == nullptr) return;
    edits_->image_ = nullptr;
    edits_->writes_.clear();
    edits_ = nullptr;
}

EditLog::EditLog(VoiceImage& image) : image_(&image), digest_before_(image.digest_), pass_before_(image.pass_) {
    image.detach_log();  // one log at a time: an older one stops recording
    image.edits_ = this;
}

std::optional<FileDigest> EditLog::digest_before() const {
    return image_ != nullptr ? digest_before_ : std::nullopt;
}

EditLog::~EditLog() {
    if (image_ != nullptr) image_->edits_ = nullptr;
}

std::vector<ChangedRange> EditLog::changed_ranges() const {
    // Merge the written spans first, then take each span's bytes before the
    // first write by undoing, on a copy of the span, every write inside it.
    std::vector<std::pair<std::int64_t, std::int64_t>> spans;  // [begin, end)
    for (const Overwritten& w : writes_) {
        if (!w.previous.empty()) spans.emplace_back(w.offset, w.offset + static_cast<std::int64_t>(w.previous.size()));
    }
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<std::int64_t, std::int64_t>> merged;
    for (const auto& span : spans) {
        if (!merged.empty() && span.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, span.second);
        } else {
            merged.push_back(span);
        }
    }

    std::vector<ChangedRange> ranges;
    if (image_ == nullptr) return ranges;
    const ByteView now = image_->file_buf();
    for (const auto& [begin, end] : merged) {
        ChangedRange range;
        range.offset = begin;
        range.new_bytes.assign(now.begin() + begin, now.begin() + end);
        range.old_bytes = range.new_bytes;
        for (auto w = writes_.rbegin(); w != writes_.rend(); ++w) {
            if (w->offset < begin || w->offset >= end) continue;
            std::copy(w->previous.begin(), w->previous.end(), range.old_bytes.begin() + static_cast<std::ptrdiff_t>(w->offset - begin));
        }
        if (range.old_bytes != range.new_bytes) ranges.push_back(std::move(range));
    }
    return ranges;
}

void EditLog::undo() {
    for (auto w = writes_.rbegin(); image_ != nullptr && w != writes_.rend(); ++w) {
        std::copy(w->previous.begin(), w->previous.end(),
                  image_->file_buf_.begin() + static_cast<std::ptrdiff_t>(w->offset));
    }
    // Every write since the log began is undone: the bytes are as they were
    // then, and so is what was worked out of them (a rehearsal's pass serves
    // the next one).
    if (image_ != nullptr && !writes_.empty()) {
        image_->digest_ = digest_before_;
        image_->pass_ = pass_before_;
    }
    writes_.clear();
}

bool VoiceImage::assign(ByteView bytes, std::filesystem::path path) {
    if (bytes.size() > static_cast<std::size_t>(kMaxImageLength)) return false;
    detach_log();
    file_buf_.assign(bytes.begin(), bytes.end());
    bytes_changed();
    file_path_ = std::move(path);
    identity_.reset();
    return true;
}

ByteString hex2str(std::string_view hex_text) {
    ByteString bytes(hex_text.size() / 2);
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        const int high = hex_digit(hex_text[2 * k]);
        const int low = hex_digit(hex_text[2 * k + 1]);
        int value = 0;
        if (high >= 0) value = low >= 0 ? high * 16 + low : high;
        bytes[k] = static_cast<std::uint8_t>(value);
    }
    return bytes;
}

ByteString ascii_bytes(std::string_view text) {
    return ByteString(text.begin(), text.end());
}

}  // namespace tarnwick
