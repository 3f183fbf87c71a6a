#include "engine/apply_option.h"

#include <algorithm>
#include <map>
#include <vector>

#include "engine/patch_abbr.h"

namespace tarnwick {
namespace {

// Where an option's own replacement holds the original of one of its
// patches: 20b writes " Trail" and then " Tr" with four zero bytes, which is
// 20a's original.
struct Holder {
    ByteString replacement;
    std::size_t at;  // where the original lies inside it
};

std::vector<Holder> find_holders(const PatchOption& option, ByteView original) {
    std::vector<Holder> holders;
    for (const AbbrPatch* patch : patches_of(option)) {
        if (patch == nullptr || original.empty()) continue;
        const ByteString replacement = hex2str(patch->replacement_hex);
        for (std::size_t at = 0; at + original.size() <= replacement.size(); ++at) {
            if (std::equal(original.begin(), original.end(), replacement.begin() + static_cast<std::ptrdiff_t>(at))) {
                holders.push_back({replacement, at});
            }
        }
    }
    return holders;
}

// A patch's original and replacement as bytes, by hex2str, once for the
// whole catalogue: the table is constant, and a run asks for them again and again.
struct PatchBytes {
    ByteString original;
    ByteString replacement;
};
const PatchBytes& bytes_of(const AbbrPatch& patch) {
    static const std::map<const AbbrPatch*, PatchBytes> table = [] {
        std::map<const AbbrPatch*, PatchBytes> bytes;
        for (const PatchOption& o : patch_catalogue()) {
            for (const AbbrPatch* p : patches_of(o)) {
                if (p != nullptr) bytes[p] = {hex2str(p->original_hex), hex2str(p->replacement_hex)};
            }
        }
        return bytes;
    }();
    return table.at(&patch);
}

// Worked out once for the whole catalogue: the table is constant.
const std::vector<Holder>& holders_of(const PatchOption& option, const AbbrPatch& patch) {
    static const std::map<std::pair<int, const AbbrPatch*>, std::vector<Holder>> table = [] {
        std::map<std::pair<int, const AbbrPatch*>, std::vector<Holder>> holders;
        for (const PatchOption& o : patch_catalogue()) {
            for (const AbbrPatch* p : patches_of(o)) {
                if (p != nullptr) holders[{o.number, p}] = find_holders(o, hex2str(p->original_hex));
            }
        }
        return holders;
    }();
    static const std::vector<Holder> none;
    const auto found = table.find({option.number, &patch});
    return found == table.end() ? none : found->second;
}

// The searches of one patch of an option, where a match of its original that
// lies inside a replacement the option itself writes is no match: that run
// was written by the option, so the option is already applied there.
class OwnWritesSkipped final : public PatchSearch {
public:
    OwnWritesSkipped(PatchSearch& inner, const VoiceImage& image, const PatchOption& option, const AbbrPatch& patch,
                     ByteView original)
        : inner_(inner), image_(image), original_(original), holders_(holders_of(option, patch)) {}

    std::int32_t find(ByteView pattern) override { return skip(pattern, inner_.find(pattern)); }
    std::int32_t find_after(ByteView pattern, std::int32_t after) override {
        return skip(pattern, inner_.find_after(pattern, after));
    }

private:
    void wrote(std::int32_t offset, std::size_t length) override { tell(inner_, offset, length); }

    std::int32_t skip(ByteView pattern, std::int32_t found) {
        if (holders_.empty() || !std::equal(pattern.begin(), pattern.end(), original_.begin(), original_.end())) {
            return found;
        }
        while (found > 0 && inside_own_write(found)) found = inner_.find_after(pattern, found);
        return found;
    }
    bool inside_own_write(std::int32_t found) const {
        return std::any_of(holders_.begin(), holders_.end(), [&](const Holder& holder) {
            const std::int64_t begin = std::int64_t{found} - static_cast<std::int64_t>(holder.at);
            return begin >= 0 && begin <= INT32_MAX && image_.match_at(static_cast<std::int32_t>(begin), holder.replacement);
        });
    }

    PatchSearch& inner_;
    const VoiceImage& image_;
    ByteView original_;
    const std::vector<Holder>& holders_;
};

PatchFound apply_patch(VoiceImage& image, MessageSink& messages, const PatchOption& option, const AbbrPatch& patch,
                       PatchSearch& search) {
    const PatchBytes& bytes = bytes_of(patch);
    OwnWritesSkipped own(search, image, option, patch, bytes.original);
    return patch_abbr_found(image, messages, own, bytes.original, bytes.replacement, patch.name);
}

}  // namespace

std::array<const AbbrPatch*, 2> deciding_patches(const PatchOption& option) { return {option.lead, option.fallback}; }

OptionOutcome apply_option(VoiceImage& image, MessageSink& messages, const PatchOption& option,
                           std::int32_t start) {
    PlainSearch search(image, start);
    return apply_option(image, messages, option, search);
}

OptionOutcome apply_option(VoiceImage& image, MessageSink& messages, const PatchOption& option,
                           PatchSearch& search) {
    bool replaced = false;
    for (const AbbrPatch* patch : deciding_patches(option)) {
        if (patch == nullptr) break;
        const PatchFound found = apply_patch(image, messages, option, *patch, search);
        replaced = replaced || found == PatchFound::replacement;
        if (found != PatchFound::original) continue;
        if (patch == option.lead) {
            for (const AbbrPatch* follow_up : option.follow_ups) {
                if (follow_up != nullptr) apply_patch(image, messages, option, *follow_up, search);
            }
        }
        return {.patched = true, .lead_failed = patch != option.lead, .state = OptionState::ready};
    }
    return {.patched = false,
            .lead_failed = true,
            .state = replaced ? OptionState::already_changed : OptionState::not_in_this_voice};
}

OptionState option_state(PatchSearch& search, const VoiceImage& image, const PatchOption& option) {
    bool replaced = false;
    for (const AbbrPatch* patch : deciding_patches(option)) {
        if (patch == nullptr) break;
        // The two searches of patch_abbr: the replacement only where the original is absent.
        const PatchBytes& bytes = bytes_of(*patch);
        OwnWritesSkipped own(search, image, option, *patch, bytes.original);
        if (own.find(bytes.original) > 0) return OptionState::ready;
        replaced = replaced || search.find(bytes.replacement) > 0;
    }
    return replaced ? OptionState::already_changed : OptionState::not_in_this_voice;
}

}  // namespace tarnwick
