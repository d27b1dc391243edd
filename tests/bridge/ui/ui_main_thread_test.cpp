// The UI functions belong to the thread that initialised the library: elsewhere they do nothing
// and say so, and a handle survives every such attempt.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"
#include "support/ui_fixture.hpp"

namespace {

using nlohmann::json;
using test::taken;
using test::UI;
using test::uiText;

const std::string refused = R"({"error":"UI calls require the main thread."})";

template <typename Body>
void onAnotherThread(Body body) {
    std::thread other(body);
    other.join();
}

class MainThread : public test::UITest {};

TEST_F(MainThread, OtherThreadsAreRefusedAndChangeNothing) {
    UI ui;
    ui({{"op", "set"}, {"palette", "glacier"}});
    const std::string before = uiText(ui.get(), R"({"op":"get"})");

    void* created = &created;
    std::string attached;
    std::string called;
    std::string calledOnNull;
    onAnotherThread([&] {
        created = qm_ui_create();
        attached = taken(qm_ui_attach(ui.get(), 5));
        called = uiText(ui.get(), R"({"op":"set","palette":"aurora"})");
        calledOnNull = uiText(nullptr, R"({"op":"get"})");
        qm_ui_destroy(ui.get());
    });
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(attached, refused);
    EXPECT_EQ(called, refused);
    EXPECT_EQ(calledOnNull, refused);

    // The destroy did nothing: the handle answers as before, still unattached and unstarted.
    EXPECT_EQ(uiText(ui.get(), R"({"op":"get"})"), before);
    EXPECT_EQ(ui.attach(9).dump(), "{}");
}

TEST_F(MainThread, NullHandles) {
    EXPECT_EQ(taken(qm_ui_attach(nullptr, 5)), R"({"error":"Closed UI."})");
    EXPECT_EQ(uiText(nullptr, R"({"op":"get"})"), R"({"error":"Closed UI."})");
    EXPECT_EQ(uiText(nullptr, nullptr), R"({"error":"Closed UI."})");
    qm_ui_destroy(nullptr);
}

TEST_F(MainThread, InitialisingElsewhereMovesTheMainThread) {
    UI ui;
    onAnotherThread([] { taken(qm_initialize("/nonexistent/quellmar-resources")); });
    EXPECT_EQ(qm_ui_create(), nullptr);
    EXPECT_EQ(uiText(ui.get(), R"({"op":"get"})"), refused);
    taken(qm_initialize("/nonexistent/quellmar-resources"));
    EXPECT_EQ(ui.report().value("generation", 1), 0);
}

}  // namespace
