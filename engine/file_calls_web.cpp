// The file calls of the browser build: a page reaches no file system of its
// own, so the engine's files there live in memory. The page hands the voice's
// bytes in and writes the changed ranges back through the browser itself.
#include "engine/file_calls.h"
#include "engine/memory_files.h"

namespace tarnwick {

FileSystemCalls& system_file_calls() {
    static MemoryFiles files;
    return files;
}

std::filesystem::path default_journal_folder() { return "/journals"; }

}  // namespace tarnwick
