#include "kernel_registry.h"

#include <array>
#include <cstddef>
#include <system_error>

bool RegisteredAsComputingNothing(std::string_view list, const std::filesystem::path &listDirectory,
                                  const std::filesystem::path &library, std::string_view procedure)
{
    while (!list.empty()) {
        const std::size_t end = list.find('\n');
        std::string_view line = list.substr(0, end);
        list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        std::array<std::string_view, 4> columns;
        std::size_t found = 0;
        for (; found < columns.size(); ++found) {
            const std::size_t tab = line.find('\t');
            columns[found] = line.substr(0, tab);
            if (tab == std::string_view::npos) {
                ++found;
                break;
            }
            line.remove_prefix(tab + 1);
        }
        if (found != columns.size() || columns[0].empty() || columns[1] != procedure) {
            continue;
        }
        // A file that is missing or cannot be read is no match.
        std::error_code error;
        if (std::filesystem::equivalent(listDirectory / columns[0], library, error) && !error) {
            return columns[3] == "none";
        }
    }
    return false;
}
