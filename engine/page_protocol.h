// What the engine and the page say to each other across the WebAssembly boundary: answers, bounds, the history's entries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/journal_format.h"

namespace tarnwick::page_protocol {

// The page's side of these is generated from them when the site is built
// (web/page_protocol_module.cpp writes page_protocol.js), so that the page
// and the engine cannot disagree on a number.

// What the page answers instead of a count: the browser's error, by kind.
enum class Answer : int {
    gone = -1,         // NotFoundError: deleted, moved, or the device removed
    not_allowed = -2,  // NotAllowedError, SecurityError: the person said no
    read_only = -3,    // NoModificationAllowedError, InvalidModificationError
    no_space = -4,     // QuotaExceededError: the device cannot hold the copy
    unreadable = -5,   // NotReadableError: changed or unreachable under the page
    busy = -6,         // another tab holds the file's lock
    failed = -7,       // anything else
};

struct AnswerName {
    Answer answer;
    std::string_view name;  // as the page's module exports it
};
inline constexpr std::array kAnswers = {
    AnswerName{Answer::gone, "GONE"},         AnswerName{Answer::not_allowed, "NOT_ALLOWED"},
    AnswerName{Answer::read_only, "READ_ONLY"}, AnswerName{Answer::no_space, "NO_SPACE"},
    AnswerName{Answer::unreadable, "UNREADABLE"}, AnswerName{Answer::busy, "BUSY"},
    AnswerName{Answer::failed, "FAILED"},
};

// The history's records pass between the browser and the engine as one run
// of entries: a mark (put or removed), the name's length, the name, the
// record's length, the record; lengths as 4 bytes, little end first.
inline constexpr std::uint8_t kEntryPut = 1;
inline constexpr std::uint8_t kEntryRemoved = 0;
inline constexpr std::size_t kLengthBytes = 4;
inline constexpr std::size_t kLargestName = 255;
inline constexpr std::size_t kLargestRecord = kMaxRecordBytes;

}  // namespace tarnwick::page_protocol
