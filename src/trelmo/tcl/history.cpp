// history.cpp -- placeholder until the module lands.
#include "pyhelp.hpp"

namespace {
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "history", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
}  // namespace

TRELMO_MODINIT PyInit_history() { return PyModule_Create(&module_def); }
