// Engines used from several host threads: separate engines do not disturb each other, and the
// calls on one engine are serialised whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"
#include "support/engine_fixture.hpp"
#include "support/file_bytes.hpp"

namespace {

using nlohmann::json;
using test::Engine;
using test::withoutTiming;

// What a run leaves behind, compared bit for bit.
struct Outcome {
    std::string statistics;
    test::Bytes spectrum;
    test::Bytes fields;

    bool operator==(const Outcome& other) const {
        return statistics == other.statistics && spectrum == other.spectrum && fields == other.fields;
    }
};

class EngineThreads : public test::EngineTest {
protected:
    // The exported state of an engine, through files named after tag.
    Outcome outcome(const Engine& engine, const std::string& tag) const {
        const std::string spectrum = file((tag + "-spectrum.bin").c_str());
        const std::string fields = file((tag + "-fields.bin").c_str());
        const json exported = engine({{"op", "export"}, {"spectrum", spectrum}, {"fields", fields}});
        EXPECT_FALSE(exported.contains("error")) << exported;
        return {withoutTiming(engine({{"op", "inspect"}})), test::readBytes(spectrum), test::readBytes(fields)};
    }

    // A few advances of differing lengths, then the outcome.
    Outcome run(const json& configuration, const std::string& tag) const {
        Engine engine(configuration);
        for (const int steps : {3, 1, 4, 2}) engine({{"op", "advance"}, {"steps", steps}});
        return outcome(engine, tag);
    }
};

const std::vector<json> configurations = {
    {{"resolution", 16}, {"reynolds", 800}, {"integrator", "imexRK3"}, {"seed", 5}},
    {{"resolution", 16}, {"reynolds", 1200}, {"integrator", "ifHeunRK3"}, {"operator", "advective"}},
    {{"resolution", 32}, {"reynolds", 2000}, {"integrator", "etdrk4"}, {"start_spectrum", "KM3"}},
    {{"resolution", 16}, {"reynolds", 1000}, {"integrator", "CNAB2"}, {"seed", 3}},
    {{"resolution", 16}, {"reynolds", 1000}, {"fixed_dt", 0.01}, {"k0", 2}},
};

TEST_F(EngineThreads, ParallelEnginesMatchSolitaryRuns) {
    std::vector<Outcome> alone;
    for (std::size_t i = 0; i < configurations.size(); ++i)
        alone.push_back(run(configurations[i], "alone" + std::to_string(i)));

    std::vector<Outcome> together(configurations.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < configurations.size(); ++i)
        threads.emplace_back([&, i] { together[i] = run(configurations[i], "together" + std::to_string(i)); });
    for (std::thread& thread : threads) thread.join();

    for (std::size_t i = 0; i < configurations.size(); ++i) {
        SCOPED_TRACE(configurations[i].dump());
        EXPECT_EQ(together[i].statistics, alone[i].statistics);
        EXPECT_EQ(together[i].spectrum.size(), alone[i].spectrum.size());
        EXPECT_TRUE(together[i].spectrum == alone[i].spectrum);
        EXPECT_TRUE(together[i].fields == alone[i].fields);
    }
}

// Created on one thread, called from others in turn, destroyed on yet another.
TEST_F(EngineThreads, OneEngineCalledFromThreadsInTurn) {
    const Outcome reference = run(configurations[0], "reference");

    auto* engine = new Engine(configurations[0]);
    for (const int steps : {3, 1, 4, 2}) std::thread([&] { (*engine)({{"op", "advance"}, {"steps", steps}}); }).join();
    Outcome inTurn;
    std::thread([&] { inTurn = outcome(*engine, "turns"); }).join();
    std::thread([&] { delete engine; }).join();
    EXPECT_TRUE(inTurn == reference);
}

// Two threads race single steps on one engine: every call sees a step count of its own, and the
// end state is that of the same number of steps taken on one thread.
TEST_F(EngineThreads, ConcurrentCallsOnOneEngineAreSerialised) {
    constexpr int perThread = 12;
    Engine shared(configurations[2]);
    std::vector<int> seen[2];
    std::vector<std::thread> threads;
    for (std::vector<int>& counts : seen)
        threads.emplace_back([&] {
            for (int i = 0; i < perThread; ++i) {
                const json reply = shared({{"op", "advance"}});
                counts.push_back(reply.value("steps", -1));
                shared({{"op", "export"}, {"snapshot", true}});
            }
        });
    for (std::thread& thread : threads) thread.join();

    std::vector<int> all = seen[0];
    all.insert(all.end(), seen[1].begin(), seen[1].end());
    std::sort(all.begin(), all.end());
    std::vector<int> expected(2 * perThread);
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(all, expected);

    Engine single(configurations[2]);
    for (int i = 0; i < 2 * perThread; ++i) single({{"op", "advance"}});
    EXPECT_TRUE(outcome(shared, "shared") == outcome(single, "single"));
}

}  // namespace
