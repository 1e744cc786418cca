// vix.cpp -- placeholder until the module lands.
#include "pyhelp.hpp"

namespace {
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vix", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
}  // namespace

TRELMO_MODINIT PyInit_vix() { return PyModule_Create(&module_def); }
