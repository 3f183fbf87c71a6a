#include "engine/patch_abbr.h"

namespace tarnwick {

bool patch_abbr(VoiceImage& image, MessageSink& messages, std::int32_t start, ByteView original,
                ByteView replacement, std::string_view name) {
    // The last position tested is bound + 1, that is file_len - 9.
    const std::int32_t bound = image.file_len() - 10;
    const std::int32_t found = image.find_str(start, bound, original);
    if (found > 0) return image.put_str(found, replacement);
    if (image.find_str(start, bound, replacement) > 0) {
        messages.show_message(messages::already_patched(name));
    } else {
        messages.show_message(messages::not_found(name));
    }
    return false;
}

}  // namespace tarnwick
