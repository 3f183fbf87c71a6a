#include "tests/support/child_process.h"

#include <sys/wait.h>
#include <unistd.h>

namespace tarnwick::testing {

std::optional<std::string> in_child(const std::function<std::string()>& work) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return std::nullopt;
    const pid_t child = ::fork();
    if (child < 0) return std::nullopt;
    if (child == 0) {
        ::close(pipe_fds[0]);
        const std::string report = "+" + work();
        const ssize_t ignored = ::write(pipe_fds[1], report.data(), report.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
        report.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (report.empty()) return std::nullopt;
    return report.substr(1);
}

bool running_as_root() { return ::geteuid() == 0; }

}  // namespace tarnwick::testing
