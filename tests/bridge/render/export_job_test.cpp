// The export that a UI request hands to the render thread, run here with a renderer that only
// records what it is asked to draw: every key is checked before the fields file is written, the
// fields file comes before the PNG, and every outcome reaches the waiting request through its
// promise.
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/render/export_job.hpp"
#include "support/file_bytes.hpp"
#include "support/solver_fixture.hpp"
#include "support/temp_folder.hpp"

namespace {

using nlohmann::json;

struct Drawn {
    std::filesystem::path path;
    int size;
    mirel::Palette palette;
    bool fieldsWritten;  // the fields file existed when the PNG was asked for
};

class RecordingRenderer : public mirel::LinuxRenderer {
public:
    explicit RecordingRenderer(std::filesystem::path fields, bool fail = false) : fields(std::move(fields)), fail(fail) {}

    mirel::Geometry geometry() override { return {}; }
    mirel::OverlayButton event() override { return mirel::OverlayButton::none; }
    mirel::RenderTiming present(const std::shared_ptr<mirel::Frame>&, const mirel::Display&, unsigned long, double, bool,
                                double) override {
        return {};
    }
    void exportPNG(const std::shared_ptr<mirel::Frame>&, const mirel::Display& display, const std::filesystem::path& path,
                   int size) override {
        if (fail) throw std::runtime_error("Cannot write PNG.");
        drawn.push_back({path, size, display.palette, std::filesystem::exists(fields)});
    }

    std::vector<Drawn> drawn;

private:
    std::filesystem::path fields;
    bool fail;
};

class ExportJob : public test::DeviceTest {
protected:
    // Runs the export of request with renderer; the failure it stored, empty when it succeeded.
    std::string run(const json& request, RecordingRenderer& renderer) {
        mirel::Display display;
        display.palette = mirel::Palette::inferno;
        const auto done = std::make_shared<std::promise<void>>();
        std::future<void> result = done->get_future();
        mirel::exportJob(frame, display, request, done)(renderer);
        EXPECT_EQ(result.wait_for(std::chrono::seconds(0)), std::future_status::ready);
        try {
            result.get();
            return "";
        } catch (const std::exception& failure) {
            return failure.what();
        }
    }

    std::string file(const char* name) const { return (folder / name).string(); }

    test::TempFolder folder{"quellmar-export-job"};
    mirel::Solver solver{[] {
        mirel::Config config;
        config.resolution = 16;
        return config;
    }()};
    std::shared_ptr<mirel::Frame> frame = solver.snapshot(true);
};

TEST_F(ExportJob, FieldsThenPicture) {
    RecordingRenderer renderer(file("fields.bin"));
    EXPECT_EQ(run({{"fields", file("fields.bin")}, {"png", file("field.png")}}, renderer), "");
    ASSERT_EQ(renderer.drawn.size(), 1u);
    EXPECT_EQ(renderer.drawn[0].path, file("field.png"));
    EXPECT_EQ(renderer.drawn[0].size, 1800);
    EXPECT_EQ(renderer.drawn[0].palette, mirel::Palette::inferno);
    EXPECT_TRUE(renderer.drawn[0].fieldsWritten);

    const std::vector<float> planes = solver.readFrame(*frame);
    EXPECT_EQ(test::readBytes(file("fields.bin")), test::littleEndian(planes));
}

TEST_F(ExportJob, Failures) {
    const struct {
        json request;
        bool rendererFails;
        std::string message;
        bool fieldsWritten;
    } cases[] = {
        {{{"png", file("a.png")}, {"pixel_size", 0}}, false, "PNG size must be 1 through 8192.", false},
        {{{"fields", file("fields.bin")}, {"png", file("a.png")}, {"pixel_size", 8193}}, false, "PNG size must be 1 through 8192.", false},
        {{{"fields", file("fields.bin")}, {"png", file("a.png")}, {"pixel_size", 4294967360ull}}, false, "PNG size must be 1 through 8192.", false},
        {{{"fields", file("fields.bin")}, {"png", 5}}, false, "[json.exception.type_error.302] type must be string, but is number", false},
        {{{"png", file("a.png")}, {"pixel_size", 3e9}}, false, "PNG size must be 1 through 8192.", false},
        {{{"png", file("a.png")}, {"pixel_size", -1e19}}, false, "PNG size must be 1 through 8192.", false},
        {{{"png", file("a.png")}, {"pixel_size", 4294967296ll}}, false, "PNG size must be 1 through 8192.", false},
        {{{"fields", file("missing/fields.bin")}, {"png", file("a.png")}}, false, "Cannot write export file.", false},
        {{{"png", file("a.png")}, {"pixel_size", "big"}}, false, "[json.exception.type_error.302] type must be number, but is string", false},
        {{{"fields", file("fields.bin")}, {"png", file("a.png")}}, true, "Cannot write PNG.", true},
    };
    // A refused request leaves the fields file that was there before it.
    const test::Bytes before = {'o', 'l', 'd'};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.dump());
        test::writeBytes(file("fields.bin"), before);
        RecordingRenderer renderer(file("fields.bin"), c.rendererFails);
        EXPECT_EQ(run(c.request, renderer), c.message);
        EXPECT_TRUE(renderer.drawn.empty());
        EXPECT_EQ(test::readBytes(file("fields.bin")) != before, c.fieldsWritten);
    }
}

TEST_F(ExportJob, NothingAsked) {
    RecordingRenderer renderer(file("fields.bin"));
    EXPECT_EQ(run({{"fields", nullptr}, {"png", nullptr}, {"pixel_size", 0}}, renderer), "");
    EXPECT_TRUE(renderer.drawn.empty());
    EXPECT_TRUE(folder.empty());
}

TEST_F(ExportJob, SmallestAndLargestPictures) {
    for (const int size : {1, 8192}) {
        RecordingRenderer renderer(file("fields.bin"));
        EXPECT_EQ(run({{"png", file("a.png")}, {"pixel_size", size}}, renderer), "");
        ASSERT_EQ(renderer.drawn.size(), 1u);
        EXPECT_EQ(renderer.drawn[0].size, size);
    }
    // A floating size is truncated toward zero.
    RecordingRenderer renderer(file("fields.bin"));
    EXPECT_EQ(run({{"png", file("a.png")}, {"pixel_size", 8192.9}}, renderer), "");
    ASSERT_EQ(renderer.drawn.size(), 1u);
    EXPECT_EQ(renderer.drawn[0].size, 8192);
}

}  // namespace
