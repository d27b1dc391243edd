#include "bridge/json/readers.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace mirel {
namespace {

using nlohmann::json;

bool finiteDouble(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

std::uint64_t seed(const json& value) {
    // An array or an object is never a seed; writing one out would recurse as deep as it nests.
    if (value.is_structured()) throw std::invalid_argument("Seed must be UInt64.");
    const std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument("Seed must be UInt64.");
    return std::stoull(text);
}

}  // namespace

void wrongType(const json& value, const char* expected) {
    throw json::type_error::create(302, std::string("type must be ") + expected + ", but is " + value.type_name(),
                                   &value);
}

json decode(const char* text) {
    if (text == nullptr) throw std::invalid_argument("Expected a JSON object.");
    json value = json::parse(text);
    if (!value.is_object()) throw std::invalid_argument("Expected a JSON object.");
    return value;
}

bool has(const json& value, const char* key) {
    if (!value.is_object()) return false;
    const auto found = value.find(key);
    return found != value.end() && !found->is_null();
}

double scalar(const json& value, const char* key, double fallback) {
    double result = fallback;
    if (has(value, key)) {
        const json& number = value.at(key);
        if (!number.is_number()) wrongType(number, "number");
        result = number.get<double>();
    }
    if (!finiteDouble(result)) throw std::invalid_argument(std::string("Non-finite ") + key);
    return result;
}

int choice(const json& value, const char* key, const char* const* names, int count, int fallback) {
    if (!has(value, key)) return fallback;
    const json& name = value.at(key);
    if (!name.is_string()) wrongType(name, "string");
    const std::string& text = name.get_ref<const std::string&>();
    for (int i = 0; i < count; ++i)
        if (text == names[i]) return i;
    throw std::invalid_argument(std::string("Unknown ") + key + ": " + text);
}

bool flag(const json& value, const char* key, bool fallback) {
    return has(value, key) ? value.at(key).get<bool>() : fallback;
}

std::optional<std::int32_t> integer(const json& value) {
    using limits = std::numeric_limits<std::int32_t>;
    if (value.is_number_unsigned()) {
        const auto x = value.get<std::uint64_t>();
        if (x > static_cast<std::uint64_t>(limits::max())) return std::nullopt;
        return static_cast<std::int32_t>(x);
    }
    if (value.is_number_integer()) {
        const auto x = value.get<std::int64_t>();
        if (x < limits::min() || x > limits::max()) return std::nullopt;
        return static_cast<std::int32_t>(x);
    }
    if (!value.is_number_float()) return value.get<std::int32_t>();
    const double x = value.get<double>();
    // Both bounds are exact doubles; NaN fails both comparisons.
    if (!(x > -2147483649.0 && x < 2147483648.0)) return std::nullopt;
    return static_cast<std::int32_t>(x);
}

int existingInteger(const json& request, const char* key, int fallback, int refused) {
    return request.contains(key) ? integer(request.at(key)).value_or(refused) : fallback;
}

std::filesystem::path path(const json& value, const char* key) {
    if (!has(value, key)) return {};
    const json& text = value.at(key);
    if (!text.is_string()) wrongType(text, "string");
    return std::filesystem::path(text.get<std::string>());
}

Config configuration(const json& request, Config base) {
    Config c = base;
    // A number beyond the int range reads as 0, which the validation below refuses as it would
    // any other resolution or k0 out of range.
    if (has(request, "resolution")) c.resolution = integer(request.at("resolution")).value_or(0);
    if (has(request, "k0")) c.k0 = integer(request.at("k0")).value_or(0);
    if (has(request, "seed")) c.seed = seed(request.at("seed"));
    c.reynolds = scalar(request, "reynolds", base.reynolds);
    const double cfl = scalar(request, "cfl", base.cfl);
    c.method = static_cast<std::uint32_t>(choice(request, "integrator", methods, static_cast<int>(base.method)));
    const bool cnab2Default = c.method == CNAB2 && base.method != CNAB2 && !has(request, "cfl");
    c.cfl = cnab2Default ? 0.25f : static_cast<float>(cfl);
    c.form = static_cast<std::uint32_t>(choice(request, "operator", forms, static_cast<int>(base.form)));
    c.startSpectrum =
        static_cast<std::uint32_t>(choice(request, "start_spectrum", startSpectra, static_cast<int>(base.startSpectrum)));
    if (request.is_object() && request.contains("fixed_dt")) {
        if (request.at("fixed_dt").is_null()) {
            c.fixedDt = 0.0f;
        } else {
            c.fixedDt = static_cast<float>(scalar(request, "fixed_dt", 0.0));
            if (!(c.fixedDt > 0.0f)) throw std::invalid_argument("Fixed timestep must be positive.");
        }
    }
    validate(c);
    if (c.k0 > 1000000) throw std::invalid_argument("Initial wavenumber is too large.");
    return c;
}

json statsReport(const Statistics& s) {
    const bool finite = finiteDouble(s.simulationTime) && finiteDouble(s.energy) && finiteDouble(s.enstrophy) &&
                        finiteDouble(s.palinstrophy);
    return {
        {"steps", s.steps},
        {"simulation_time", s.simulationTime},
        {"dt", static_cast<double>(s.dt)},
        {"energy", s.energy},
        {"enstrophy", s.enstrophy},
        {"palinstrophy", s.palinstrophy},
        {"palinstrophy_ratio", s.palinstrophyRatio},
        {"reynolds", s.reynolds},
        {"initial_turnover_time", s.initialTurnoverTime},
        {"gpu_milliseconds", s.gpuMilliseconds},
        {"allocated_bytes", s.allocatedBytes},
        {"is_finite", finite},
    };
}

json configReport(const Config& c) {
    return {
        {"resolution", c.resolution},
        {"padded_resolution", 3 * c.resolution / 2},
        {"reynolds", c.reynolds},
        {"viscosity", static_cast<double>(static_cast<float>(1.0 / c.reynolds))},
        {"k0", c.k0},
        {"seed", std::to_string(c.seed)},
        {"cfl", static_cast<double>(c.cfl)},
        {"integrator", methods[c.method]},
        {"operator", forms[c.form]},
        {"start_spectrum", startSpectra[c.startSpectrum]},
        {"fixed_dt", c.fixedDt > 0.0f ? json(static_cast<double>(c.fixedDt)) : json(nullptr)},
    };
}

json frameReport(const Frame& frame) {
    return {
        {"sequence", static_cast<std::uint64_t>(frame.steps)},
        {"time", frame.time},
        {"grid_size", frame.grid_size},
        {"max_vorticity", static_cast<double>(frame.max_vorticity)},
        {"mean_vorticity", static_cast<double>(frame.mean_vorticity)},
        {"std_vorticity", static_cast<double>(frame.std_vorticity)},
        {"max_speed", static_cast<double>(frame.max_speed)},
    };
}

}  // namespace mirel
