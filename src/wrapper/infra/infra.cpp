// wrapper.infra: the package of the service modules. Its own namespace holds
// the abstract generator.
#include <nanobind/nanobind.h>

#include "pyface/module.hpp"

namespace nb = nanobind;

NB_MODULE(infra, m) {
    pyface::ModuleBuilder mod(m);
}
