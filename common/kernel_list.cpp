#include "kernel_list.h"

#include "number_conversions.h"

#include <fstream>
#include <iterator>
#include <system_error>

namespace {

std::vector<std::string> Split(std::string_view text, char separator)
{
    std::vector<std::string> fields;
    for (;;) {
        const std::size_t end = text.find(separator);
        fields.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos) {
            return fields;
        }
        text.remove_prefix(end + 1);
    }
}

} // namespace

std::vector<ListedKernel> ParseKernelList(std::string_view text)
{
    std::vector<ListedKernel> kernels;
    for (std::string &line : Split(text, '\n')) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        std::vector<std::string> columns = Split(line, '\t');
        if (columns.size() < 4 || columns[0].empty()) {
            continue;
        }
        columns.resize(6, "-");
        ListedKernel kernel{columns[0], columns[1], numbers::ParseFeatures(columns[2].c_str()), columns[3], {},
                            columns[5]};
        if (columns[4] != "-") {
            kernel.rounding = Split(columns[4], ',');
        }
        kernels.push_back(std::move(kernel));
    }
    return kernels;
}

std::vector<ListedKernel> ReadKernelList(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return ParseKernelList(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

bool RegisteredAsComputingNothing(const std::vector<ListedKernel> &list, const std::filesystem::path &listDirectory,
                                  const std::filesystem::path &library, std::string_view procedure)
{
    for (const ListedKernel &kernel : list) {
        if (kernel.procedure != procedure) {
            continue;
        }
        // A file that is missing or cannot be read is no match.
        std::error_code error;
        if (std::filesystem::equivalent(listDirectory / kernel.library, library, error) && !error) {
            return kernel.product == "none";
        }
    }
    return false;
}
