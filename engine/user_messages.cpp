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

std::string browser_unavailable(std::string_view address) {
    return join({"Could not start a web browser. Open this address by hand: ", address});
}

}  // namespace tarnwick::messages
