#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tarnwick::testing {

// Runs `work` in a forked child and returns the text it returned, or nothing
// when the child died without answering. For what must not touch the test
// process itself: another user, another mount namespace, resource limits.
std::optional<std::string> in_child(const std::function<std::string()>& work);

// Whether this process may change its user and mount bind mounts.
bool running_as_root();

}  // namespace tarnwick::testing
