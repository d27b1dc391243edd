#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "docs/protocol_page.hpp"
#include "quellmar/quellmar.h"
#include "support/engine_fixture.hpp"
#include "support/messages.hpp"
#include "support/temp_folder.hpp"
#include "support/ui_fixture.hpp"

// The host's protocol document read the way its "Examples" section describes: every example
// request runs through the library, and each reply has exactly the keys the document lists for
// it. A key added to a reply, dropped from one or renamed fails here until the document follows.
namespace {

using nlohmann::json;

// One fenced request block: the function it goes to, the name of its reply's key list.
struct Example {
    std::string function;
    std::string reply;
    bool attached = false;
    std::string request;
    int line = 0;
};

struct Document {
    std::vector<Example> examples;
    std::map<std::string, std::vector<std::string>> keys;
};

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> result;
    for (std::string word; in >> word;) result.push_back(word);
    return result;
}

Document readDocument() {
    std::ifstream in(QM_PROTOCOL);
    Document document;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.rfind("```", 0) != 0) continue;
        const std::vector<std::string> info = words(line.substr(3));
        std::string body;
        for (std::string inner; std::getline(in, inner) && inner.rfind("```", 0) != 0;) body += inner + "\n";
        const int opened = number;
        number += static_cast<int>(std::count(body.begin(), body.end(), '\n')) + 1;
        if (info.size() == 2 && info[0] == "keys") document.keys[info[1]] = words(body);
        if (info.size() < 2 || info[0] != "json") continue;
        Example example{info[1], "", false, body, opened};
        for (std::size_t i = 2; i < info.size(); ++i) {
            if (info[i] == "attached") example.attached = true;
            if (info[i].rfind("reply=", 0) == 0) example.reply = info[i].substr(6);
        }
        document.examples.push_back(example);
    }
    return document;
}

// Every key of a reply, those of nested objects written "outer.inner".
void collectKeys(const json& value, const std::string& prefix, std::set<std::string>& keys) {
    for (const auto& [key, inner] : value.items()) {
        keys.insert(prefix + key);
        if (inner.is_object()) collectKeys(inner, prefix + key + ".", keys);
    }
}

// What differs between a reply and its listed keys: keys it has that are not listed, and keys
// listed without "?" that it lacks while their outer key is there.
std::vector<std::string> mismatches(const json& reply, const std::vector<std::string>& listed) {
    std::set<std::string> actual;
    collectKeys(reply, "", actual);
    std::set<std::string> known;
    std::vector<std::string> result;
    for (std::string key : listed) {
        const bool optional = key.back() == '?';
        if (optional) key.pop_back();
        known.insert(key);
        const auto dot = key.rfind('.');
        const bool outerPresent = dot == std::string::npos || actual.count(key.substr(0, dot)) != 0;
        if (!optional && outerPresent && actual.count(key) == 0) result.push_back("missing " + key);
    }
    for (const std::string& key : actual)
        if (known.count(key) == 0) result.push_back("not listed " + key);
    return result;
}

std::string lines(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += "\n  " + item;
    return text;
}

class ProtocolDocument : public test::UITest {
protected:
    // Files that examples write land in a folder of the test's own.
    void SetUp() override {
        ASSERT_EQ(::chdir(folder.root.c_str()), 0);
        ASSERT_FALSE(document.examples.empty()) << "no examples in " << QM_PROTOCOL;
    }

    void expectKeys(const Example& example, const json& reply) const {
        const auto listed = document.keys.find(example.reply);
        ASSERT_NE(listed, document.keys.end()) << "line " << example.line << ": no key list " << example.reply;
        EXPECT_TRUE(mismatches(reply, listed->second).empty())
            << "line " << example.line << ": " << example.request << "answered " << reply
            << lines(mismatches(reply, listed->second));
    }

    const Document document = readDocument();
    const test::TempFolder folder{"quellmar-protocol"};
};

TEST_F(ProtocolDocument, TheCapabilityDocumentHasTheListedKeys) {
    const Example initialisation{"qm_initialize", "capabilities", false, "", 0};
    expectKeys(initialisation, json::parse(test::taken(qm_initialize(resources))));
}

TEST_F(ProtocolDocument, EngineExamplesAnswerTheListedKeys) {
    std::unique_ptr<test::Engine> engine;
    for (const Example& example : document.examples) {
        if (example.function == "qm_engine_create") {
            engine = std::make_unique<test::Engine>(json::parse(example.request));
        } else if (example.function == "qm_engine_call") {
            ASSERT_TRUE(engine) << "line " << example.line << ": an engine request before any creation request";
            expectKeys(example, json::parse(test::callText(engine->get(), example.request.c_str())));
        }
    }
}

TEST_F(ProtocolDocument, UIExamplesAnswerTheListedKeys) {
    const test::UI ui;
    for (const Example& example : document.examples)
        if (example.function == "qm_ui_call" && !example.attached)
            expectKeys(example, json::parse(test::uiText(ui.get(), example.request.c_str())));
}

// The operations the public header names, each with an example.
TEST_F(ProtocolDocument, EveryOperationHasAnExample) {
    const std::map<std::string, std::set<std::string>> operations = {
        {"qm_engine_call", {"inspect", "advance", "set", "reset", "export"}},
        {"qm_ui_call",
         {"get", "flush", "start", "toggle", "running", "step", "reset", "seed", "visible", "dismiss", "configure",
          "set", "benchmark", "export", "save"}},
    };
    std::map<std::string, std::set<std::string>> shown;
    for (const Example& example : document.examples)
        if (example.function != "qm_engine_create")
            shown[example.function].insert(json::parse(example.request).value("op", ""));
    EXPECT_EQ(shown, operations);
}

// The page says it lists every error text a host can meet: each text of the shared table stands in
// its error section.
TEST(ProtocolErrorTexts, ListEveryTextAHostCanMeet) {
    const std::string section = docs::section(docs::pageText(), "Error texts");
    ASSERT_FALSE(section.empty());
    for (const std::string& text : test::hostErrorTexts) EXPECT_NE(section.find(text), std::string::npos) << text;
}

}  // namespace
