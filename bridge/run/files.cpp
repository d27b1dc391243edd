#include "bridge/run/files.hpp"

#include <fstream>
#include <stdexcept>
#include <string>

#include "bridge/run/options.hpp"
#include "renderer/replace_file.hpp"

namespace mirel {

template <typename T>
void writeFile(const std::filesystem::path& path, const std::vector<T>& values, const std::atomic<bool>* giveUp) {
    if (replaceFile(path, values.data(), values.size() * sizeof(T), giveUp))
        throw std::runtime_error("Cannot write export file.");
}

template void writeFile<float>(const std::filesystem::path&, const std::vector<float>&, const std::atomic<bool>*);
template void writeFile<Complex>(const std::filesystem::path&, const std::vector<Complex>&, const std::atomic<bool>*);

std::vector<float> loadInitial(const Options& options) {
    if (options.initial.empty()) return {};
    // The kernel would read the path only up to a NUL, and so another file than the one named.
    if (options.initial.native().find('\0') != std::string::npos) throw std::runtime_error("Cannot read initial file.");
    const std::uintmax_t n = static_cast<std::uintmax_t>(options.config.resolution);
    if (std::filesystem::file_size(options.initial) != 4 * n * n)
        throw std::runtime_error("Initial file must contain exactly N² Float32 samples.");
    std::vector<float> values(static_cast<std::size_t>(n * n), 0.0f);
    std::ifstream file(options.initial, std::ios::binary);
    if (!file || !file.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * 4)))
        throw std::runtime_error("Cannot read initial file.");
    return values;
}

void writeSpectrum(Solver& solver, const Options& options) { writeSpectrum(solver, options, nullptr); }

void writeSpectrum(Solver& solver, const Options& options, const std::atomic<bool>* giveUp) {
    if (!options.spectrum.empty()) writeFile(options.spectrum, solver.spectrum(), giveUp);
    if (!options.fields.empty()) {
        const std::shared_ptr<Frame> frame = solver.snapshot(true);
        if (!frame) throw std::runtime_error("No snapshot slot.");
        writeFile(options.fields, solver.readFrame(*frame), giveUp);
    }
}

}  // namespace mirel
