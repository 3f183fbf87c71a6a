// Writes the page's module of the numbers it shares with the engine
// (page_protocol.js) to standard output, from the engine's own definitions.
#include <cstdio>

#include "engine/page_protocol.h"

int main() {
    using namespace tarnwick::page_protocol;
    std::printf("// What the page and the engine say to each other: generated from the engine's\n"
                "// engine/page_protocol.h when the site is built. Not to be edited.\n\n");
    std::printf("// What the page answers instead of a count: the browser's error, by kind.\n");
    std::printf("export const ANSWER = Object.freeze({\n");
    for (const AnswerName& answer : kAnswers) {
        std::printf("  %.*s: %d,\n", static_cast<int>(answer.name.size()), answer.name.data(), static_cast<int>(answer.answer));
    }
    std::printf("});\n\n");
    std::printf("// The history's entries: a mark, the name's length, the name, the record's\n"
                "// length, the record; lengths little end first.\n");
    std::printf("export const ENTRY_PUT = %d;\n", kEntryPut);
    std::printf("export const ENTRY_REMOVED = %d;\n", kEntryRemoved);
    std::printf("export const LENGTH_BYTES = %zu;\n", kLengthBytes);
    std::printf("export const LARGEST_NAME = %zu;\n", kLargestName);
    std::printf("export const LARGEST_RECORD = %zu;\n", kLargestRecord);
    return 0;
}
