// The engine's PNG export goes through the same renderer module: its picture equals, pixel for
// pixel, the module's own export of the frame that the engine wrote as its fields file, with the
// display settings that the request's keys select. Exports one after another also succeed on an
// X server that resets between them.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "picture_files.hpp"
#include "renderer/png_file.hpp"
#include "renderer/private_display.hpp"
#include "renderer/renderer.hpp"
#include "renderer/test_frames.hpp"
#include "rendering_fixture.hpp"
#include "support/engine_fixture.hpp"
#include "support/file_bytes.hpp"
#include "support/process.hpp"
#include "support/temp_folder.hpp"

namespace {

using nlohmann::json;
using test::errorOf;

constexpr int n = 32;
constexpr int side = 64;

class EnginePicture : public test::RenderingTest {
protected:
    std::string file(const std::string& name) const { return (folder / name).string(); }

    // The frame of an export summary and its fields file, in device memory.
    std::shared_ptr<mirel::Frame> frameOf(const json& summary, const std::string& fields) const {
        test::HostFrame host;
        host.n = summary["grid_size"].get<int>();
        host.planes = test::floatsOf(fields);
        host.velocity = true;
        host.mean = summary["mean_vorticity"].get<float>();
        host.std = summary["std_vorticity"].get<float>();
        host.maxVorticity = summary["max_vorticity"].get<float>();
        host.maxSpeed = summary["max_speed"].get<float>();
        return test::deviceFrame(host);
    }

    const test::TempFolder folder{"quellmar-engine-png"};
};

TEST_F(EnginePicture, EqualsTheRenderersOwnExport) {
    test::Engine engine({{"resolution", n}, {"reynolds", 1000}});
    engine({{"op", "advance"}, {"steps", 20}});
    const struct {
        json keys;
        mirel::Display display;
    } cases[] = {
        {json::object(), {mirel::Field::vorticity, mirel::Palette::ember, mirel::ColorRange::sigma, 1.2f, 2.5f, false}},
        // Out-of-range exposure and sigma are clamped to 3 and 1.5.
        {{{"display", "speed"}, {"palette", "inferno"}, {"color_range", "exposure"}, {"exposure", 10}, {"sigma", 0}, {"flow", true}},
         {mirel::Field::speed, mirel::Palette::inferno, mirel::ColorRange::exposure, 3.0f, 1.5f, true}},
        {{{"display", "enstrophy"}, {"palette", "glacier"}, {"exposure", 0.5}}, {mirel::Field::enstrophy, mirel::Palette::glacier, mirel::ColorRange::sigma, 0.5f, 2.5f, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys.dump());
        json request = c.keys;
        request.update({{"op", "export"}, {"fields", file("fields.bin")}, {"png", file("engine.png")}, {"pixel_size", side}});
        const json summary = engine(request);
        ASSERT_EQ(errorOf(summary), "");
        const test::PNGImage picture = test::readPNG(file("engine.png"));
        EXPECT_EQ(picture.width, side);
        EXPECT_EQ(picture.height, side);

        // Made after the engine's renderer is gone: a renderer's context is current on its
        // thread only until another renderer is made there.
        const auto renderer = std::unique_ptr<mirel::LinuxRenderer>(qm_gl_create_desktop(0));
        renderer->exportPNG(frameOf(summary, file("fields.bin")), c.display, file("own.png"), side);
        EXPECT_TRUE(picture.bytes == test::readPNG(file("own.png")).bytes);
    }
}

// The module is loaded before any key of the picture is read, and every key before the first
// file is written: a refused key fails the request and leaves the spectrum and fields files that
// were there before it.
TEST_F(EnginePicture, RefusedKeysLeaveTheFilesAsTheyWere) {
    test::Engine engine({{"resolution", 16}, {"reynolds", 1000}});
    const std::string badSize = "PNG size must be 1 through 8192.";
    const struct {
        json keys;
        std::string message;  // the end of the error
    } cases[] = {
        {{{"pixel_size", 0}}, badSize},
        {{{"pixel_size", 8193}}, badSize},
        {{{"pixel_size", 4294967360ull}}, badSize},
        {{{"pixel_size", -4294967232ll}}, badSize},
        {{{"pixel_size", 1e19}}, badSize},
        {{{"pixel_size", "64"}}, "type must be number, but is string"},
        {{{"png", 5}}, "type must be string, but is number"},
        {{{"display", "Speed"}}, "Unknown display: Speed"},
        {{{"palette", "nope"}}, "Unknown palette: nope"},
        {{{"color_range", "nope"}}, "Unknown color_range: nope"},
        {{{"exposure", "high"}}, "type must be number, but is string"},
        {{{"sigma", json::array()}}, "type must be number, but is array"},
        {{{"flow", 1}}, "type must be boolean, but is number"},
    };
    const test::Bytes before = {'o', 'l', 'd'};
    for (const auto& c : cases) {
        json request = {{"op", "export"}, {"spectrum", file("spectrum.bin")}, {"fields", file("fields.bin")}, {"png", file("refused.png")}};
        request.update(c.keys);
        SCOPED_TRACE(request.dump());
        test::writeBytes(file("spectrum.bin"), before);
        test::writeBytes(file("fields.bin"), before);
        const std::string error = errorOf(engine(request));
        EXPECT_TRUE(test::endsWith(error, c.message)) << error;
        EXPECT_EQ(test::readBytes(file("spectrum.bin")), before);
        EXPECT_EQ(test::readBytes(file("fields.bin")), before);
        EXPECT_FALSE(std::filesystem::exists(file("refused.png")));
    }
}

TEST_F(EnginePicture, ReplacingAPictureKeepsWhatTheUserHad) {
    test::Engine engine({{"resolution", 16}, {"reynolds", 1000}});
    test::expectPicturesKeepWhatTheUserHad(folder.root, [&](const std::filesystem::path& path) {
        return errorOf(engine({{"op", "export"}, {"png", path.string()}, {"pixel_size", side}}));
    });
}

// A plain Xvfb resets whenever its last client leaves, and for a moment refuses the connections
// that arrive meanwhile. An export's renderer is the only client of such a server and leaves
// when the export ends, so the next export connects just as the server resets. Hosts in
// processes of their own export twice each, on several servers at once: the load of the others
// delays each server as a busy machine does, and the second exports meet its reset often.
TEST_F(EnginePicture, ExportsSucceedOnAServerThatResetsBetweenThem) {
    constexpr int servers = 4;
    constexpr int hostsPerServer = 8;
    std::vector<std::unique_ptr<test::PrivateDisplay>> displays;
    for (int s = 0; s < servers; ++s)
        displays.push_back(std::make_unique<test::PrivateDisplay>("320x240x24", std::vector<std::string>{}, test::PrivateDisplay::Reset::whenIdle));
    std::vector<std::vector<std::string>> replies(servers);
    std::vector<std::thread> hosts;
    for (int s = 0; s < servers; ++s) {
        const std::string pictures = " '" + file(std::to_string(s) + "-first.png") + "' '" + file(std::to_string(s) + "-second.png") + "'";
        const std::string command = "DISPLAY=" + displays[s]->name + " '" QM_ENGINE_EXPORTS "' '" QM_RESOURCES "'" + pictures + "; echo \"exit $?\"";
        hosts.emplace_back([&replies, s, command] {
            for (int host = 0; host < hostsPerServer; ++host) replies[s].push_back(test::output(command));
        });
    }
    for (std::thread& host : hosts) host.join();

    // Each host answers both exports without an error, and ends well.
    const auto wellServed = [](const std::string& ofHost) {
        std::istringstream text(ofHost);
        std::vector<std::string> lines;
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        if (lines.size() != 3 || lines[2] != "exit 0") return false;
        for (int i = 0; i < 2; ++i) {
            const json reply = json::parse(lines[i], nullptr, false);
            if (!reply.is_object() || reply.contains("error")) return false;
        }
        return true;
    };
    int served = 0;
    std::string failed;
    for (const std::vector<std::string>& ofServer : replies) {
        for (const std::string& ofHost : ofServer) {
            if (wellServed(ofHost))
                ++served;
            else
                failed += ofHost;
        }
    }
    EXPECT_EQ(served, servers * hostsPerServer) << failed;
}

}  // namespace
