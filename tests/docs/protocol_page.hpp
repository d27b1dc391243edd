#pragma once

// The host's protocol page (QM_PROTOCOL) as the tests read it: its text, one of its sections, and
// the tables of its error section.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

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

// One text of a row, as its first cell writes it between backticks.
struct ErrorText {
    std::string text;
    bool valueFollows;  // written "`text` + value": the message only begins with the text
};

// One row of an error table: the table's name (the paragraph before it up to "(" or ":", such as
// "Engines"), the texts of its first cell and its condition.
struct ErrorRow {
    std::string table;
    std::vector<ErrorText> texts;
    std::string when;
    int line;
};

// The texts of a first cell: every backticked part that a value does not precede ("call text +
// `: `" continues a text, it starts none).
inline std::vector<ErrorText> cellTexts(const std::string& cell) {
    const auto trimmed = [](std::string text) {
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.erase(0, 1);
        return text;
    };
    std::vector<ErrorText> texts;
    std::size_t after = 0;
    for (std::size_t open = cell.find('`'); open != std::string::npos; open = cell.find('`', after)) {
        const std::size_t close = cell.find('`', open + 1);
        if (close == std::string::npos) break;
        const std::string before = trimmed(cell.substr(after, open - after));
        after = close + 1;
        if (!before.empty() && before.back() == '+') continue;
        const std::size_t next = cell.find('`', after);
        const std::size_t length = next == std::string::npos ? std::string::npos : next - after;
        const std::string rest = trimmed(cell.substr(after, length));
        texts.push_back({cell.substr(open + 1, close - open - 1), !rest.empty() && rest.front() == '+'});
    }
    return texts;
}

// The rows of every table of the section "Error texts", the header and separator rows left out.
inline std::vector<ErrorRow> errorRows(const std::string& page) {
    const std::string errors = section(page, "Error texts");
    std::istringstream in(errors);
    std::vector<ErrorRow> rows;
    std::string table;
    bool paragraph = false;  // the line before continues a paragraph
    bool header = false;     // the next table line is a header
    // The section starts with the newline that ends the line before its heading.
    int number = static_cast<int>(std::count(page.begin(), page.begin() + page.find(errors), '\n'));
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.rfind("|---", 0) == 0) continue;
        if (line.rfind("| ", 0) != 0) {
            if (!line.empty() && !paragraph) table = line.substr(0, line.find_first_of("(:"));
            while (!table.empty() && table.back() == ' ') table.pop_back();
            paragraph = !line.empty();
            header = true;
            continue;
        }
        paragraph = false;
        if (header) {
            header = false;
            continue;
        }
        const std::size_t split = line.find(" | ");
        std::string when = line.substr(split + 3);
        if (when.size() >= 2) when.erase(when.size() - 2);
        rows.push_back({table, cellTexts(line.substr(2, split - 2)), when, number});
    }
    return rows;
}

}  // namespace docs
