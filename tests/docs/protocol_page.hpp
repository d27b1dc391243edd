#pragma once

// The host's protocol page (QM_PROTOCOL) as the tests read it: its text and one of its sections.
#include <fstream>
#include <iterator>
#include <string>

namespace docs {

inline std::string pageText() {
    std::ifstream in(QM_PROTOCOL);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The section under "## heading", up to the next heading of that level; empty when there is none.
inline std::string section(const std::string& page, const std::string& heading) {
    const std::size_t start = page.find("\n## " + heading + "\n");
    if (start == std::string::npos) return "";
    return page.substr(start, page.find("\n## ", start + 1) - start);
}

}  // namespace docs
