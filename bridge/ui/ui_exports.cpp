#include <stdexcept>

#include "bridge/json/boundary.hpp"
#include "bridge/ui/ui_globals.hpp"
#include "bridge/ui/ui_handle.hpp"
#include "mirel/export.hpp"
#include "quellmar/quellmar.h"

namespace mirel {
namespace {

// The handle of a call on the UI main thread.
UIHandle& handleOf(void* ui) {
    if (!onMainThread()) throw std::runtime_error("UI calls require the main thread.");
    if (ui == nullptr) throw std::runtime_error("Closed UI.");
    return *static_cast<UIHandle*>(ui);
}

}  // namespace
}  // namespace mirel

extern "C" {

QM_EXPORT void* qm_ui_create(void) {
    if (!mirel::onMainThread()) return nullptr;
    try {
        return new mirel::UIHandle();
    } catch (...) {
        return nullptr;
    }
}

QM_EXPORT char* qm_ui_attach(void* ui, unsigned long x11Parent) {
    return mirel::boundary::reply([&] {
        mirel::handleOf(ui).attach(x11Parent);
        return nlohmann::json::object();
    });
}

QM_EXPORT char* qm_ui_call(void* ui, const char* request) {
    return mirel::boundary::reply([&] { return mirel::handleOf(ui).call(request); });
}

QM_EXPORT void qm_ui_destroy(void* ui) {
    if (ui == nullptr || !mirel::onMainThread()) return;
    delete static_cast<mirel::UIHandle*>(ui);
}

}  // extern "C"
