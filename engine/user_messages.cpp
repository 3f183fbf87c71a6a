#include "engine/user_messages.h"

namespace tarnwick::messages {
namespace {

std::string join(std::initializer_list<std::string_view> pieces) {
    std::string text;
    for (std::string_view piece : pieces) text += piece;
    return text;
}

}  // namespace

std::string reason_short_read(std::size_t got, std::size_t expected) {
    return "only " + std::to_string(got) + " of its " + std::to_string(expected) + " bytes could be read";
}

std::string reason_out_of_memory(std::int64_t size) {
    return "there is not enough memory to hold its " + std::to_string(size) + " bytes";
}

std::string reason_journal_failed(const std::filesystem::path& folder, std::string_view why) {
    return join({"its save journal could not be written in the folder \"", path_for_people(folder), "\": ", why});
}

std::string reason_journal_in_the_way(const std::filesystem::path& journal) {
    return join({"an earlier save of it was interrupted and its journal is still kept in \"", path_for_people(journal),
                 "\"; open the file again to put that save back, or remove the journal if the file is as you want it"});
}

std::string path_for_people(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string already_patched(std::string_view patch_name) {
    return join({"The ", patch_name, " abbreviation is already patched."});
}

std::string not_found(std::string_view patch_name) {
    return join({"Could not find the ", patch_name,
                 " abbreviation. Make sure you opened the proper language voice."});
}

std::string cannot_open(std::string_view path, std::string_view reason) {
    return join({"Could not open the file \"", path, "\": ", reason, "."});
}

std::string cannot_save(std::string_view path, std::string_view reason) {
    return join({"Could not save the file \"", path, "\": ", reason,
                 ". The file was left unchanged."});
}

std::string cannot_save_recovery_pending(std::string_view path, std::string_view reason) {
    return join({"Could not save the file \"", path, "\": ", reason,
                 ". It could not be put back as it was either; it will be put back the next time it is opened "
                 "with this program."});
}

std::string recovered_interrupted_save(std::string_view path) {
    return join({"An earlier save of the file \"", path,
                 "\" was interrupted. The file was put back as it was before that save."});
}

std::string recovery_left_alone(std::string_view path, const std::filesystem::path& journal) {
    return join({"An earlier save of the file \"", path,
                 "\" was interrupted, but the file has been changed since, so it was left as it is. The journal of "
                 "that save is kept in \"", path_for_people(journal), "\"; remove it once you no longer need it."});
}

std::string recovery_failed(std::string_view path, std::string_view reason) {
    return join({"An earlier save of the file \"", path, "\" was interrupted, and the file could not be put back as "
                 "it was: ", reason, ". It will be tried again the next time the file is opened."});
}

std::string browser_unavailable(std::string_view address) {
    return join({"Could not start a web browser. Open this address by hand: ", address});
}

}  // namespace tarnwick::messages
