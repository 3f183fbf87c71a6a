#include "engine/memory_files.h"

#include <algorithm>

namespace tarnwick {
namespace {

std::error_code error(std::errc code) { return std::make_error_code(code); }

constexpr int kMaxLinkHops = 40;

}  // namespace

std::string MemoryFiles::key(const std::filesystem::path& path) {
    std::filesystem::path full = path.is_absolute() ? path : std::filesystem::path("/") / path;
    std::string text = full.lexically_normal().generic_string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

std::uint64_t MemoryFiles::find(const std::filesystem::path& path, bool follow_last, std::error_code& ec) const {
    ec.clear();
    std::filesystem::path wanted(key(path));
    for (int hops = 0; hops <= kMaxLinkHops; ++hops) {
        std::vector<std::filesystem::path> parts(++wanted.begin(), wanted.end());
        std::filesystem::path at("/");
        bool restarted = false;
        if (parts.empty()) {
            const auto root = names_.find("/");
            return root == names_.end() ? 0 : root->second;
        }
        for (std::size_t i = 0; i < parts.size(); ++i) {
            at /= parts[i];
            const auto named = names_.find(key(at));
            if (named == names_.end()) {
                ec = error(std::errc::no_such_file_or_directory);
                return 0;
            }
            const Node& node = nodes_.at(named->second);
            const bool last = i + 1 == parts.size();
            if (node.kind == Kind::link && (!last || follow_last)) {
                std::filesystem::path target = node.target.is_absolute() ? node.target : at.parent_path() / node.target;
                for (std::size_t j = i + 1; j < parts.size(); ++j) target /= parts[j];
                wanted = key(target);
                restarted = true;
                break;
            }
            if (last) return named->second;
            if (node.kind != Kind::folder) {
                ec = error(std::errc::not_a_directory);
                return 0;
            }
        }
        if (!restarted) return 0;
    }
    ec = error(std::errc::too_many_symbolic_link_levels);
    return 0;
}

void MemoryFiles::ensure_root() {
    if (names_.contains("/")) return;
    Node root;
    root.kind = Kind::folder;
    root.first_path = "/";
    nodes_[next_node_] = root;
    names_["/"] = next_node_++;
}

std::uint64_t MemoryFiles::add(const std::filesystem::path& path, Node node) {
    ensure_root();
    const std::string name = key(path);
    node.first_path = name;
    node.modified = ++clock_;
    const std::uint64_t id = next_node_++;
    nodes_[id] = std::move(node);
    names_[name] = id;
    if (tracking_) durable_names_[name] = id;
    return id;
}

void MemoryFiles::put_folder(const std::filesystem::path& path) {
    ensure_root();
    std::filesystem::path at("/");
    const std::filesystem::path full(key(path));
    for (auto part = ++full.begin(); part != full.end(); ++part) {
        at /= *part;
        if (names_.contains(key(at))) continue;
        Node folder;
        folder.kind = Kind::folder;
        add(at, folder);
    }
}

void MemoryFiles::put_file(const std::filesystem::path& path, ByteView bytes) {
    put_file(path, ByteString(bytes.begin(), bytes.end()));
}

void MemoryFiles::put_file(const std::filesystem::path& path, ByteString&& bytes) {
    put_folder(std::filesystem::path(key(path)).parent_path());
    std::error_code ec;
    const std::uint64_t existing = find(path, true, ec);
    if (existing != 0 && nodes_.at(existing).kind == Kind::file) {
        Node& node = nodes_.at(existing);
        node.bytes = std::move(bytes);
        node.modified = ++clock_;
        settle(existing);
        return;
    }
    Node file;
    file.bytes = std::move(bytes);
    settle(add(path, std::move(file)));
}

void MemoryFiles::settle(std::uint64_t node) {
    if (tracking_) nodes_.at(node).durable = nodes_.at(node).bytes;
}

void MemoryFiles::remount(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code ec;
    const std::uint64_t old_node = find(from, true, ec);
    if (old_node == 0) return;
    Node moved = nodes_.at(old_node);
    remove_entry(from);
    put_folder(std::filesystem::path(key(to)).parent_path());
    const std::int64_t modified = moved.modified;
    const std::uint64_t id = add(to, std::move(moved));
    nodes_.at(id).modified = modified;
    settle(id);
}

void MemoryFiles::rename_entry(const std::filesystem::path& from, const std::filesystem::path& to) {
    const auto named = names_.find(key(from));
    if (named == names_.end()) return;
    const std::uint64_t node = named->second;
    remove_entry(from);
    put_folder(std::filesystem::path(key(to)).parent_path());
    names_[key(to)] = node;
    if (tracking_) durable_names_[key(to)] = node;
}

void MemoryFiles::overwrite(const std::filesystem::path& path, std::int64_t offset, ByteView bytes, bool keep_time) {
    std::error_code ec;
    const std::uint64_t id = find(path, true, ec);
    if (id == 0 || nodes_.at(id).kind != Kind::file || offset < 0) return;
    Node& node = nodes_.at(id);
    const auto end = static_cast<std::size_t>(offset) + bytes.size();
    if (end > node.bytes.size()) node.bytes.resize(end);
    std::copy(bytes.begin(), bytes.end(), node.bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    if (!keep_time) node.modified = ++clock_;
    settle(id);
}

void MemoryFiles::reuse_identity(const std::filesystem::path& gone, const std::filesystem::path& path, ByteView bytes) {
    std::error_code ec;
    const std::uint64_t id = find(gone, true, ec);
    if (id == 0 || nodes_.at(id).kind != Kind::file) return;
    for (auto name = names_.begin(); name != names_.end();) {
        if (name->second == id) {
            durable_names_.erase(name->first);
            name = names_.erase(name);
        } else {
            ++name;
        }
    }
    put_folder(std::filesystem::path(key(path)).parent_path());
    Node file;
    file.bytes.assign(bytes.begin(), bytes.end());
    file.first_path = key(path);
    file.modified = ++clock_;
    nodes_[id] = std::move(file);
    names_[key(path)] = id;
    if (tracking_) durable_names_[key(path)] = id;
    settle(id);
}

std::optional<FileIdentity> MemoryFiles::identity_of(const std::filesystem::path& path) const {
    std::error_code ec;
    const std::uint64_t id = find(path, true, ec);
    if (id == 0) return std::nullopt;
    return info_of(id).identity;
}

std::optional<ByteString> MemoryFiles::file_numbered(std::uint64_t index) const {
    const auto node = nodes_.find(index);
    if (node == nodes_.end() || node->second.kind != Kind::file) return std::nullopt;
    return node->second.bytes;
}

void MemoryFiles::track_durability() {
    tracking_ = true;
    durable_names_ = names_;
    for (auto& [id, node] : nodes_) node.durable = node.bytes;
}

void MemoryFiles::name_changed(const std::filesystem::path& folder,
                               std::vector<std::pair<std::string, std::uint64_t>> entries) {
    if (tracking_) unflushed_names_.push_back({key(folder), std::move(entries)});
}

void MemoryFiles::make_durable(const NameChange& change) {
    for (const auto& [name, node] : change.entries) {
        if (node == 0) {
            durable_names_.erase(name);
        } else {
            durable_names_[name] = node;
        }
    }
}

void MemoryFiles::lose_power(const std::function<std::uint64_t(std::uint64_t)>& choose) {
    handles_.clear();
    locks_.clear();
    if (!tracking_) return;
    std::map<std::string, std::size_t> counts;
    for (const NameChange& change : unflushed_names_) ++counts[change.folder];
    std::map<std::string, std::uint64_t> surviving;
    for (const auto& [folder, count] : counts) surviving[folder] = choose(count + 1);
    for (const NameChange& change : unflushed_names_) {
        if (surviving[change.folder] == 0) continue;
        --surviving[change.folder];
        make_durable(change);
    }
    unflushed_names_.clear();
    names_ = durable_names_;
    constexpr std::size_t kPage = 4096;
    for (auto& [id, node] : nodes_) {
        if (node.bytes == node.durable) continue;
        if (node.bytes.size() != node.durable.size()) {
            if (choose(2) == 0) node.bytes = node.durable;
        } else {
            for (std::size_t at = 0; at < node.bytes.size(); at += kPage) {
                const std::size_t end = std::min(node.bytes.size(), at + kPage);
                const auto from = static_cast<std::ptrdiff_t>(at);
                const auto to = static_cast<std::ptrdiff_t>(end);
                if (choose(2) == 0) std::copy(node.durable.begin() + from, node.durable.begin() + to, node.bytes.begin() + from);
            }
        }
        node.durable = node.bytes;
    }
}

void MemoryFiles::close_all(const std::vector<Handle>& handles) {
    for (const Handle handle : handles) {
        if (open_handle(handle) != nullptr) close(handle);
    }
}

void MemoryFiles::put_link(const std::filesystem::path& path, const std::filesystem::path& target) {
    put_folder(std::filesystem::path(key(path)).parent_path());
    Node link;
    link.kind = Kind::link;
    link.target = target;
    add(path, std::move(link));
}

void MemoryFiles::put_hard_link(const std::filesystem::path& existing, const std::filesystem::path& path) {
    std::error_code ec;
    if (const std::uint64_t node = find(existing, true, ec); node != 0) {
        names_[key(path)] = node;
        if (tracking_) durable_names_[key(path)] = node;
    }
}

void MemoryFiles::set_foreign(const std::filesystem::path& path, bool foreign) {
    std::error_code ec;
    if (const std::uint64_t node = find(path, false, ec); node != 0) nodes_.at(node).foreign = foreign;
}

void MemoryFiles::set_open_to_others(const std::filesystem::path& path, bool open) {
    std::error_code ec;
    if (const std::uint64_t node = find(path, false, ec); node != 0) nodes_.at(node).open_to_others = open;
}

void MemoryFiles::set_read_only(const std::filesystem::path& path, bool read_only) {
    std::error_code ec;
    if (const std::uint64_t node = find(path, true, ec); node != 0) nodes_.at(node).read_only = read_only;
}

void MemoryFiles::remove_entry(const std::filesystem::path& path) {
    names_.erase(key(path));
    if (tracking_) durable_names_.erase(key(path));
}

std::optional<ByteString> MemoryFiles::file(const std::filesystem::path& path) const {
    std::error_code ec;
    const std::uint64_t node = find(path, true, ec);
    if (node == 0 || nodes_.at(node).kind != Kind::file) return std::nullopt;
    return nodes_.at(node).bytes;
}

std::vector<std::string> MemoryFiles::entries(const std::filesystem::path& folder) const {
    std::vector<std::string> names;
    std::string prefix = key(folder);
    if (prefix != "/") prefix += '/';
    for (auto it = names_.lower_bound(prefix); it != names_.end() && it->first.starts_with(prefix); ++it) {
        const std::string rest = it->first.substr(prefix.size());
        if (!rest.empty() && rest.find('/') == std::string::npos) names.push_back(rest);
    }
    return names;
}

FileSystemCalls::FileInfo MemoryFiles::info_of(std::uint64_t id) const {
    const Node& node = nodes_.at(id);
    FileInfo info;
    info.is_regular = node.kind == Kind::file;
    info.is_directory = node.kind == Kind::folder;
    info.is_link = node.kind == Kind::link;
    info.owned_by_user = !node.foreign;
    info.others_may_write = node.open_to_others;
    info.identity = {1, id, static_cast<std::int64_t>(node.bytes.size()), node.modified};
    return info;
}

const MemoryFiles::Open* MemoryFiles::open_handle(Handle handle) const {
    const auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : &it->second;
}

std::error_code MemoryFiles::open_node(std::uint64_t node, bool writable, Handle& handle, FileInfo& info) {
    handle = next_handle_++;
    handles_[handle] = {node, writable};
    info = info_of(node);
    return {};
}

std::filesystem::path MemoryFiles::resolved(const std::filesystem::path& path) { return key(path); }

std::error_code MemoryFiles::open_for_reading(const std::filesystem::path& path, Handle& handle, FileInfo& info) {
    std::error_code ec;
    const std::uint64_t node = find(path, true, ec);
    if (node == 0) return ec ? ec : error(std::errc::no_such_file_or_directory);
    return open_node(node, false, handle, info);
}

std::error_code MemoryFiles::open_for_update(const std::filesystem::path& path, Handle& handle, FileInfo& info) {
    std::error_code ec;
    const std::uint64_t node = find(path, true, ec);
    if (node == 0) return ec ? ec : error(std::errc::no_such_file_or_directory);
    if (nodes_.at(node).kind == Kind::folder) return error(std::errc::is_a_directory);
    if (nodes_.at(node).read_only) return error(std::errc::permission_denied);
    return open_node(node, true, handle, info);
}

std::error_code MemoryFiles::describe(Handle handle, FileInfo& info) {
    const Open* open = open_handle(handle);
    if (open == nullptr) return error(std::errc::bad_file_descriptor);
    info = info_of(open->node);
    return {};
}

std::error_code MemoryFiles::read_at(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                                     std::size_t& got) {
    const Open* open = open_handle(handle);
    if (open == nullptr) return error(std::errc::bad_file_descriptor);
    const Node& node = nodes_.at(open->node);
    if (node.kind == Kind::folder) return error(std::errc::is_a_directory);
    if (offset < 0) return error(std::errc::invalid_argument);
    got = 0;
    if (static_cast<std::uint64_t>(offset) >= node.bytes.size()) return {};
    got = std::min(size, node.bytes.size() - static_cast<std::size_t>(offset));
    std::copy_n(node.bytes.begin() + static_cast<std::ptrdiff_t>(offset), got, data);
    return {};
}

std::error_code MemoryFiles::write_at(Handle handle, std::int64_t offset, const std::uint8_t* data, std::size_t size,
                                      std::size_t& written) {
    const Open* open = open_handle(handle);
    if (open == nullptr || !open->writable) return error(std::errc::bad_file_descriptor);
    if (offset < 0) return error(std::errc::invalid_argument);
    Node& node = nodes_.at(open->node);
    const auto end = static_cast<std::size_t>(offset) + size;
    if (end > node.bytes.size()) node.bytes.resize(end);
    std::copy_n(data, size, node.bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    node.modified = ++clock_;
    writes.push_back({node.first_path, offset, ByteString(data, data + size)});
    written = size;
    return {};
}

std::error_code MemoryFiles::flush(Handle handle) {
    const Open* open = open_handle(handle);
    if (open == nullptr) return error(std::errc::bad_file_descriptor);
    settle(open->node);
    return {};
}

std::error_code MemoryFiles::read_uncached(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                                           std::size_t& got) {
    return read_at(handle, offset, data, size, got);
}

std::error_code MemoryFiles::try_lock(Handle handle) {
    const Open* open = open_handle(handle);
    if (open == nullptr) return error(std::errc::bad_file_descriptor);
    const auto held = locks_.find(open->node);
    if (held != locks_.end() && held->second != handle) return error(std::errc::resource_unavailable_try_again);
    locks_[open->node] = handle;
    return {};
}

std::error_code MemoryFiles::lock_held(Handle handle, bool& held) {
    const Open* open = open_handle(handle);
    if (open == nullptr) return error(std::errc::bad_file_descriptor);
    const auto holder = locks_.find(open->node);
    held = holder != locks_.end() && holder->second != handle;
    return {};
}

std::error_code MemoryFiles::close(Handle handle) {
    const Open* open = open_handle(handle);
    if (open == nullptr) return error(std::errc::bad_file_descriptor);
    if (const auto held = locks_.find(open->node); held != locks_.end() && held->second == handle) locks_.erase(held);
    handles_.erase(handle);
    return {};
}

std::error_code MemoryFiles::make_private_folder(const std::filesystem::path& folder) {
    std::error_code ec;
    if (find(folder, false, ec) != 0) return {};
    put_folder(folder);
    return {};
}

std::error_code MemoryFiles::open_folder(const std::filesystem::path& path, Folder& folder, FileInfo& info) {
    folder = {-1, path};
    std::error_code ec;
    const std::uint64_t node = find(path, false, ec);
    if (node == 0) return ec ? ec : error(std::errc::no_such_file_or_directory);
    info = info_of(node);
    if (!info.is_directory) return {};
    folder.path = key(path);
    return open_node(node, false, folder.handle, info);
}

std::error_code MemoryFiles::list_folder(const Folder& folder, std::vector<std::string>& names) {
    if (open_handle(folder.handle) == nullptr) return error(std::errc::bad_file_descriptor);
    names = entries(folder.path);
    return {};
}

std::error_code MemoryFiles::open_in_folder(const Folder& folder, const std::string& name, Handle& handle,
                                            FileInfo& info) {
    if (open_handle(folder.handle) == nullptr) return error(std::errc::bad_file_descriptor);
    std::error_code ec;
    const std::uint64_t node = find(folder.path / name, false, ec);
    if (node == 0) return ec ? ec : error(std::errc::no_such_file_or_directory);
    if (nodes_.at(node).kind == Kind::link) return error(std::errc::too_many_symbolic_link_levels);
    return open_node(node, false, handle, info);
}

std::error_code MemoryFiles::create_in_folder(const Folder& folder, const std::string& name, Handle& handle) {
    if (open_handle(folder.handle) == nullptr) return error(std::errc::bad_file_descriptor);
    const std::filesystem::path path = folder.path / name;
    if (names_.contains(key(path))) return error(std::errc::file_exists);
    FileInfo ignored;
    const std::uint64_t node = add(path, Node{});
    if (tracking_) durable_names_.erase(key(path));  // a new name waits for the folder's flush
    name_changed(folder.path, {{key(path), node}});
    return open_node(node, true, handle, ignored);
}

std::error_code MemoryFiles::rename_in_folder(const Folder& folder, const std::string& from, const std::string& to) {
    if (open_handle(folder.handle) == nullptr) return error(std::errc::bad_file_descriptor);
    const auto source = names_.find(key(folder.path / from));
    if (source == names_.end()) return error(std::errc::no_such_file_or_directory);
    if (nodes_.at(source->second).kind == Kind::folder) return error(std::errc::operation_not_supported);
    const std::uint64_t node = source->second;
    names_.erase(source);
    names_[key(folder.path / to)] = node;
    name_changed(folder.path, {{key(folder.path / from), 0}, {key(folder.path / to), node}});
    return {};
}

std::error_code MemoryFiles::remove_in_folder(const Folder& folder, const std::string& name) {
    if (open_handle(folder.handle) == nullptr) return error(std::errc::bad_file_descriptor);
    const auto entry = names_.find(key(folder.path / name));
    if (entry == names_.end()) return error(std::errc::no_such_file_or_directory);
    if (nodes_.at(entry->second).kind == Kind::folder) return error(std::errc::is_a_directory);
    names_.erase(entry);
    name_changed(folder.path, {{key(folder.path / name), 0}});
    return {};
}

std::error_code MemoryFiles::flush_folder(const Folder& folder) {
    if (open_handle(folder.handle) == nullptr) return error(std::errc::bad_file_descriptor);
    const std::string flushed = key(folder.path);
    std::vector<NameChange> rest;
    for (NameChange& change : unflushed_names_) {
        if (change.folder != flushed) {
            rest.push_back(std::move(change));
            continue;
        }
        make_durable(change);
    }
    unflushed_names_ = std::move(rest);
    return {};
}

}  // namespace tarnwick
