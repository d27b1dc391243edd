#include "quellmar_emulator/control.hpp"

#include "runtime.hpp"

namespace emu {

void reset() {
  detail::resetFaults();
  detail::resetDevices();
  detail::resetWorkers();
  detail::resetStreamOrder();
}

}  // namespace emu
