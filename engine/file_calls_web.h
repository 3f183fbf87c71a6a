// The browser build's file calls: the voice through the page, everything else in memory.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/file_calls.h"
#include "engine/memory_files.h"

namespace tarnwick {

// The browser build's file calls: `voices` (bare names, as the page shows
// them) are the files the person opened, reached through the page: one
// (Module.voiceFile), or several (Module.voiceFiles, in the same order), of
// which the one a call opens becomes Module.voiceFile. The folder
// `history` is the page's history of saves, kept by the browser between
// visits (IndexedDB): read in when first used, and what it then holds handed
// back whenever the engine makes it durable. Every other path, the journal
// folder among them, lives in memory for as long as this object.
class PageFileCalls final : public FileSystemCalls {
public:
    PageFileCalls(std::filesystem::path voice, std::filesystem::path history)
        : voices_{std::move(voice)}, history_(std::move(history)) {}
    PageFileCalls(std::vector<std::filesystem::path> voices, std::filesystem::path history)
        : voices_(std::move(voices)), several_(true), history_(std::move(history)) {}

    std::filesystem::path resolved(const std::filesystem::path& path) override;
    std::error_code open_for_reading(const std::filesystem::path& path, Handle& handle, FileInfo& info) override;
    std::error_code open_for_update(const std::filesystem::path& path, Handle& handle, FileInfo& info) override;
    std::error_code describe(Handle handle, FileInfo& info) override;
    bool writes_a_download() const override;
    std::error_code read_at(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                            std::size_t& got) override;
    std::error_code write_at(Handle handle, std::int64_t offset, const std::uint8_t* data, std::size_t size,
                             std::size_t& written) override;
    std::error_code flush(Handle handle) override;
    std::error_code read_uncached(Handle handle, std::int64_t offset, std::uint8_t* data, std::size_t size,
                                  std::size_t& got) override;
    std::error_code try_lock(Handle handle) override;
    std::error_code lock_held(Handle handle, bool& held) override;
    std::error_code close(Handle handle) override;
    std::error_code make_private_folder(const std::filesystem::path& folder) override;
    std::error_code open_folder(const std::filesystem::path& path, Folder& folder, FileInfo& info) override;
    std::error_code list_folder(const Folder& folder, std::vector<std::string>& names) override;
    std::error_code open_in_folder(const Folder& folder, const std::string& name, Handle& handle,
                                   FileInfo& info) override;
    std::error_code create_in_folder(const Folder& folder, const std::string& name, Handle& handle) override;
    std::error_code rename_in_folder(const Folder& folder, const std::string& from, const std::string& to) override;
    std::error_code remove_in_folder(const Folder& folder, const std::string& name) override;
    std::error_code flush_folder(const Folder& folder) override;

private:
    bool is_voice(const std::filesystem::path& path) const;
    // Makes the voice at `path` the one the page's calls reach.
    void select(const std::filesystem::path& path);
    bool is_page_handle(Handle handle) const;
    std::error_code load_history();
    std::error_code store_history();

    std::vector<std::filesystem::path> voices_;
    bool several_ = false;
    std::size_t current_ = 0;  // the voice the page's calls reach
    std::filesystem::path history_;
    bool history_loaded_ = false;
    std::set<std::string> history_kept_;  // the records the browser holds, as far as this object knows
    Handle history_handle_ = -1;
    MemoryFiles memory_;
    Handle opens_ = 0;
    Handle locked_by_ = 0;
};

}  // namespace tarnwick
