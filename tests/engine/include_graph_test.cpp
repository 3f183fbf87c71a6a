// The engine's files include one another only downwards: no chain of
// #include lines leads from a file back to itself. A file and its header
// count as one (as do the system-specific halves of file_calls).
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string module_of(const std::filesystem::path& file) {
    std::string stem = file.stem().string();
    for (const char* half : {"_posix", "_windows"}) {
        if (stem.ends_with(half)) stem.resize(stem.size() - std::string(half).size());
    }
    return stem;
}

using Graph = std::map<std::string, std::set<std::string>>;

Graph includes_of(const std::filesystem::path& folder) {
    Graph graph;
    const std::regex include(R"re(^\s*#\s*include\s*"engine/([A-Za-z0-9_]+)\.h")re");
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string extension = entry.path().extension().string();
        if (extension != ".h" && extension != ".cpp") continue;
        const std::string from = module_of(entry.path());
        graph[from];
        std::ifstream in(entry.path());
        std::smatch m;
        for (std::string line; std::getline(in, line);) {
            if (std::regex_search(line, m, include) && m[1] != from) graph[from].insert(m[1]);
        }
    }
    return graph;
}

// A chain of modules that leads back to its start, or empty when there is none.
std::vector<std::string> a_cycle(const Graph& graph) {
    std::map<std::string, int> state;  // 1: on the current path, 2: done
    std::vector<std::string> path;
    std::vector<std::string> found;
    std::function<bool(const std::string&)> visit = [&](const std::string& module) {
        state[module] = 1;
        path.push_back(module);
        const auto edges = graph.find(module);
        if (edges != graph.end()) {
            for (const std::string& next : edges->second) {
                if (state[next] == 1) {
                    found.assign(std::find(path.begin(), path.end(), next), path.end());
                    found.push_back(next);
                    return true;
                }
                if (state[next] == 0 && visit(next)) return true;
            }
        }
        path.pop_back();
        state[module] = 2;
        return false;
    };
    for (const auto& [module, edges] : graph) {
        if (state[module] == 0 && visit(module)) break;
    }
    return found;
}

TEST(IncludeGraph, TheEngineIncludesOnlyDownwards) {
    const Graph graph = includes_of(TARNWICK_ENGINE_SOURCES);
    ASSERT_GT(graph.size(), 10u);
    const std::vector<std::string> cycle = a_cycle(graph);
    std::string shown;
    for (const std::string& module : cycle) shown += (shown.empty() ? "" : " -> ") + module;
    EXPECT_TRUE(cycle.empty()) << "the includes run in a circle: " << shown;
}

TEST(IncludeGraph, FindsACircleWhereThereIsOne) {
    const Graph circle{{"a", {"b"}}, {"b", {"c"}}, {"c", {"a"}}, {"d", {"a"}}};
    EXPECT_EQ(a_cycle(circle), (std::vector<std::string>{"a", "b", "c", "a"}));
    const Graph layers{{"a", {"b", "c"}}, {"b", {"c"}}, {"c", {}}};
    EXPECT_TRUE(a_cycle(layers).empty());
}

}  // namespace
