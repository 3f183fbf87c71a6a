#include "engine/patch_abbr.h"

namespace tarnwick {

bool patch_abbr(VoiceImage& image, MessageSink& messages, std::int32_t start, ByteView original,
                ByteView replacement, std::string_view name) {
    PlainSearch search(image, start);
    return patch_abbr(image, messages, search, original, replacement, name);
}

bool patch_abbr(VoiceImage& image, MessageSink& messages, PatchSearch& search, ByteView original,
                ByteView replacement, std::string_view name) {
    return patch_abbr_found(image, messages, search, original, replacement, name) == PatchFound::original;
}

PatchFound patch_abbr_found(VoiceImage& image, MessageSink& messages, PatchSearch& search, ByteView original,
                            ByteView replacement, std::string_view name) {
    const std::int32_t found = search.find(original);
    if (found > 0) {
        // No catalogue replacement runs past its original: this write never fails there.
        if (!search.put_str(image, found, replacement)) return PatchFound::neither;
        return PatchFound::original;
    }
    if (search.find(replacement) > 0) {
        messages.show_message({MessageKind::information, messages::already_patched(name)});
        return PatchFound::replacement;
    }
    messages.show_message({MessageKind::information, messages::not_found(name)});
    return PatchFound::neither;
}

}  // namespace tarnwick
